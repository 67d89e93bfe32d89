// The entries of the settings' port list: the serial ports that exist on the PC first (as the
// system lists them under HKEY_LOCAL_MACHINE\HARDWARE\DEVICEMAP\SERIALCOMM), marked "COM3 *",
// then the fixed COM1 ... COM15 that are not already listed. The marker is only shown: the port
// name stored and opened never carries it.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

extern const wchar_t kSerialCommKey[];  // HARDWARE\DEVICEMAP\SERIALCOMM
extern const wchar_t kPresentMarker[];  // " *"

// The port names under root\keyPath (the values' data), without duplicates (case ignored), in
// natural order: COM2 before COM10. Empty when the key is missing.
std::vector<std::wstring> PresentPorts(HKEY root = HKEY_LOCAL_MACHINE, const wchar_t* keyPath = kSerialCommKey);

// The present ports marked, then COM1 ... COM15 not among them.
std::vector<std::wstring> PortListEntries(HKEY root = HKEY_LOCAL_MACHINE, const wchar_t* keyPath = kSerialCommKey);

// The port name an entry (or a typed text) stands for: without the marker and spaces around.
std::wstring PortNameFromEntry(const std::wstring& entry);

// Natural order of port names: digit runs compare as numbers, letters without case.
bool PortNameLess(const std::wstring& a, const std::wstring& b);

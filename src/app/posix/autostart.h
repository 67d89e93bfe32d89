// The autostart entry, the counterpart of the "Brisca" value under the Windows Run key: an XDG
// autostart desktop entry whose Exec line starts this program.
#pragma once
#include <string>

// The program file as a desktop entry's Exec value: quoted and escaped when it needs to be.
// Empty when the path cannot be written there (a control character in it).
std::string DesktopExecValue(const std::string& programPath);

// The whole desktop entry text.
std::string AutostartEntryText(const std::string& programPath);

// <config home>/autostart/Brisca.desktop, empty when no home is known.
std::string AutostartEntryPath();

// The full path of the running program (/proc/self/exe); empty if it cannot be read.
std::string ProgramPath();

// RegisterAutostart: writes the entry atomically. 0 on success, 1 on failure.
int RegisterAutostart(const std::string& entryPath, const std::string& programPath);

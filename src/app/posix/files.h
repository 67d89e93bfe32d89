// Small file helpers of the headless gateway: read a small file whole, create the folders of a
// path, replace a file atomically (so a crash never leaves half a settings or autostart file).
#pragma once
#include <cstddef>
#include <string>

// Reads at most cap bytes. Returns the count, -2 when the file does not exist, -1 on another
// error (errno tells).
long ReadSmallFile(const char* path, char* buffer, std::size_t cap);

// Creates every missing folder above path's last component (mode 0700). True when they exist.
bool MakeParentDirectories(const std::string& path);

// Writes data to a temporary file beside path, flushes it to disk and renames it over path.
bool WriteFileAtomically(const std::string& path, const char* data, std::size_t n, int mode);

// The few operating-system services the portable core needs: clock, process id, folders and the
// log's files, code page 949 text and secure randomness. One file per platform implements them.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace sys {

struct LocalTime {
    int year, month, day, hour, minute, second, millisecond;
};

// Local calendar time with milliseconds.
LocalTime Now();

int ProcessId();

// Creates a folder and any missing parents (UTF-8 path). On POSIX a folder made here is open to
// its owner only (0700); an existing one is left as it is. True if the folder exists afterwards.
bool MakeDirectory(const char* path);

// The names (UTF-8) of the regular files directly inside folder: no links, no sub-folders.
// False when the folder cannot be read; on POSIX also when the folder reached (a link to it is
// followed) is another user's or writable by group or others.
bool ListFiles(const char* folder, std::vector<std::string>& names);

// Deletes folder/name if it is a regular file; a link or a folder of that name is left alone.
bool RemoveFile(const char* folder, const char* name);

// A file kept open for appending (the day's log). On POSIX it is created readable by its owner
// only (0600); the folder's path is followed, but the folder reached and the file must be the
// program's user's and not writable by group or others, and the file is never reached through a
// symbolic link; on Windows the
// UTF-8 path is opened through the wide API and others may read, rename or delete the file.
class AppendFile {
public:
    AppendFile();
    ~AppendFile();
    AppendFile(const AppendFile&) = delete;
    AppendFile& operator=(const AppendFile&) = delete;

    // Opens folder/name, created when missing. False if it cannot be opened or is refused;
    // why (when given) then says what is wrong, in a few words.
    bool Open(const char* folder, const char* name, std::string* why = nullptr);
    void Close();
    bool IsOpen() const;
    // Bytes the file held when it was opened.
    long long OpenedSize() const { return m_openedSize; }
    // Appends n bytes at the end, in one system call where the system allows.
    bool Append(const void* bytes, std::size_t n);
    // False once the path no longer names the open file (deleted, renamed or replaced).
    bool StillNamed() const;
    // Reads the last n bytes of the file (fewer if it is shorter); the count read, or -1.
    long ReadTail(char* buffer, std::size_t n) const;

    struct Platform;  // the open file and how its name is checked

private:
    std::unique_ptr<Platform> m_platform;  // made once per object, not per open or line
    long long m_openedSize = 0;
};

// Converts valid UTF-8 to code page 949. Returns the number of bytes written to out, or -1
// when the text has a character that code page 949 lacks or out is too small.
long Utf8ToCp949(const char* in, std::size_t n, char* out, std::size_t cap);

// Converts code page 949 text to UTF-8; bytes that are not code page 949 each become U+FFFD.
std::string Cp949ToUtf8(const char* in, std::size_t n);

// A file read from its start, piece by piece (a day's log read back). Windows opens the UTF-8
// path through the wide API and lets the writer go on appending.
class FileReader {
public:
    FileReader();
    ~FileReader();
    FileReader(const FileReader&) = delete;
    FileReader& operator=(const FileReader&) = delete;
    bool Open(const char* path);
    void Close();
    // Up to n bytes; 0 at the end, -1 on error.
    long Read(void* buffer, std::size_t n);

    struct Platform;  // the open file

private:
    std::unique_ptr<Platform> m_platform;  // made once per object
};

// Fills buf with bytes from the operating system's secure random source. False on failure.
bool SecureRandom(void* buf, std::size_t n);

// Keeps card data out of dumps of this process. Linux: no core file (core size 0) and the
// process is not dumpable (no core, and other processes of the same user cannot read its memory
// or attach to it; a debugger started with the program keeps working). Windows: critical-error
// and fault dialogs are not shown and Windows Error Reporting collects no heap (where the
// system has WerSetFlags); the program writes no dump of its own. Every build does it, so that
// what the tests see is what ships. True when every setting took effect.
bool KeepOutOfDumps();

// Clears secrets and card data in a way the compiler cannot drop as a dead store.
void SecureZero(void* buf, std::size_t n);

}  // namespace sys

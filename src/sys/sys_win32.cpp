// Operating-system services on Windows: GetLocalTime, folders and files through the wide API
// (UTF-8 paths turned into UTF-16), the UTF-16 round trip to code page 949 and the system's
// preferred random generator.
#include "sys/sys.h"

#include <windows.h>
#include <bcrypt.h>

#include <atomic>
#include <utility>

namespace sys {

LocalTime Now() {
    SYSTEMTIME t{};
    GetLocalTime(&t);
    return LocalTime{t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds};
}

int ProcessId() { return static_cast<int>(GetCurrentProcessId()); }

namespace {

std::wstring Wide(const char* utf8) {
    const int n = MultiByteToWideChar(CP_UTF8, 0, utf8, -1, nullptr, 0);
    if (n <= 1) return std::wstring();
    std::wstring out(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8, -1, out.data(), n);
    out.resize(static_cast<std::size_t>(n - 1));
    return out;
}

std::string Utf8(const wchar_t* wide) {
    const int n = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 1) return std::string();
    std::string out(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide, -1, out.data(), n, nullptr, nullptr);
    out.resize(static_cast<std::size_t>(n - 1));
    return out;
}

std::wstring Join(const char* folder, const char* name) { return Wide(folder) + L'\\' + Wide(name); }

bool IsPlainFile(DWORD attr) {
    return attr != INVALID_FILE_ATTRIBUTES &&
           (attr & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
}

}  // namespace

bool MakeDirectory(const char* path) {
    const std::wstring whole = Wide(path);
    // Each missing level in turn ("C:" and the like simply fail); the final check decides.
    for (std::size_t at = whole.find_first_of(L"\\/", 1); at != std::wstring::npos;
         at = whole.find_first_of(L"\\/", at + 1))
        CreateDirectoryW(whole.substr(0, at).c_str(), nullptr);
    CreateDirectoryW(whole.c_str(), nullptr);
    const DWORD attr = GetFileAttributesW(whole.c_str());
    return attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool ListFiles(const char* folder, std::vector<std::string>& names) {
    const std::wstring pattern = Wide(folder) + L"\\*";
    WIN32_FIND_DATAW found{};
    const HANDLE search = FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &found,
                                           FindExSearchNameMatch, nullptr, 0);
    if (search == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_FILE_NOT_FOUND;
    do {
        if (IsPlainFile(found.dwFileAttributes)) names.push_back(Utf8(found.cFileName));
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return true;
}

bool RemoveFile(const char* folder, const char* name) {
    const std::wstring path = Join(folder, name);
    return IsPlainFile(GetFileAttributesW(path.c_str())) && DeleteFileW(path.c_str());
}

struct AppendFile::Platform {
    HANDLE file = INVALID_HANDLE_VALUE;
    std::wstring path;  // where StillNamed looks for the file
};

AppendFile::AppendFile() : m_platform(new Platform) {}

AppendFile::~AppendFile() { Close(); }

bool AppendFile::IsOpen() const { return m_platform->file != INVALID_HANDLE_VALUE; }

bool AppendFile::Open(const char* folder, const char* name, std::string* why) {
    Close();
    std::wstring path = Join(folder, name);
    // Support staff read the day's file live and may move or delete it while it is open.
    const HANDLE h = CreateFileW(path.c_str(), FILE_APPEND_DATA | FILE_READ_DATA | FILE_READ_ATTRIBUTES,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        if (why) *why = std::string(name) + ": cannot be opened (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(h, &info) || !IsPlainFile(info.dwFileAttributes)) {
        if (why) *why = std::string(name) + " is not a plain file";
        CloseHandle(h);
        return false;
    }
    m_platform->file = h;
    m_platform->path = std::move(path);
    m_openedSize = static_cast<long long>((static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) |
                                          info.nFileSizeLow);
    return true;
}

void AppendFile::Close() {
    if (m_platform->file == INVALID_HANDLE_VALUE) return;
    CloseHandle(m_platform->file);
    m_platform->file = INVALID_HANDLE_VALUE;
}

bool AppendFile::Append(const void* bytes, std::size_t n) {
    const char* p = static_cast<const char*>(bytes);
    while (n > 0) {
        const DWORD piece = n > 0x40000000u ? 0x40000000u : static_cast<DWORD>(n);
        DWORD put = 0;
        if (!WriteFile(m_platform->file, p, piece, &put, nullptr) || put == 0) return false;
        p += put;
        n -= put;
    }
    return true;
}

long AppendFile::ReadTail(char* buffer, std::size_t n) const {
    const HANDLE h = m_platform->file;
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(h, &size)) return -1;
    if (static_cast<long long>(n) > size.QuadPart) n = static_cast<std::size_t>(size.QuadPart);
    std::size_t got = 0;
    while (got < n) {
        const unsigned long long at = static_cast<unsigned long long>(size.QuadPart) - n + got;
        OVERLAPPED where{};
        where.Offset = static_cast<DWORD>(at);
        where.OffsetHigh = static_cast<DWORD>(at >> 32);
        DWORD r = 0;
        if (!ReadFile(h, buffer + got, static_cast<DWORD>(n - got), &r, &where) || r == 0) return -1;
        got += r;
    }
    return static_cast<long>(got);
}

bool AppendFile::StillNamed() const {
    // A file deleted while open may linger as "delete pending" until its last handle closes;
    // a renamed one leaves its path empty.
    if (GetFileAttributesW(m_platform->path.c_str()) == INVALID_FILE_ATTRIBUTES) return false;
    FILE_STANDARD_INFO info{};
    if (GetFileInformationByHandleEx(m_platform->file, FileStandardInfo, &info, sizeof info))
        return !info.DeletePending && info.NumberOfLinks > 0;
    return true;
}

long Utf8ToCp949(const char* in, std::size_t n, char* out, std::size_t cap) {
    // Converted in pieces through a fixed UTF-16 buffer; a piece never splits a character, so a
    // surrogate pair stays together.
    constexpr std::size_t kPiece = 1024;
    wchar_t wide[kPiece];
    std::size_t done = 0, written = 0;
    while (done < n) {
        std::size_t len = n - done;
        if (len > kPiece) {
            len = kPiece;
            while (len > 0 && (static_cast<unsigned char>(in[done + len]) & 0xC0) == 0x80) --len;
            if (len == 0) return -1;
        }
        const int wn = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, in + done,
                                           static_cast<int>(len), wide, static_cast<int>(kPiece));
        if (wn <= 0) return -1;
        if (written >= cap) return -1;
        BOOL usedDefault = FALSE;
        const int bn = WideCharToMultiByte(949, WC_NO_BEST_FIT_CHARS, wide, wn, out + written,
                                           static_cast<int>(cap - written), nullptr, &usedDefault);
        if (bn <= 0 || usedDefault) return -1;
        written += static_cast<std::size_t>(bn);
        done += len;
    }
    return static_cast<long>(written);
}

namespace {
// BCryptGenRandom from System32's bcrypt.dll, looked up once. bcrypt.dll is not one the system
// always takes from System32, so it is not imported: an import would be searched for in the
// program's folder first.
using GenRandomFn = NTSTATUS(WINAPI*)(BCRYPT_ALG_HANDLE, PUCHAR, ULONG, ULONG);
GenRandomFn GenRandom() {
    static std::atomic<GenRandomFn> cached{nullptr};
    GenRandomFn fn = cached.load(std::memory_order_acquire);
    if (fn) return fn;
    // LoadLibraryEx counts its loads: a race between two first callers only loads it twice.
    if (HMODULE bcrypt = LoadLibraryExW(L"bcrypt.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32))
        fn = reinterpret_cast<GenRandomFn>(reinterpret_cast<void*>(GetProcAddress(bcrypt, "BCryptGenRandom")));
    if (fn) cached.store(fn, std::memory_order_release);
    return fn;
}
}  // namespace

bool SecureRandom(void* buf, std::size_t n) {
    const GenRandomFn genRandom = GenRandom();
    if (!genRandom) return false;
    auto* p = static_cast<unsigned char*>(buf);
    while (n > 0) {
        const ULONG piece = n > 0x40000000u ? 0x40000000u : static_cast<ULONG>(n);
        if (!BCRYPT_SUCCESS(genRandom(nullptr, p, piece, BCRYPT_USE_SYSTEM_PREFERRED_RNG)))
            return false;
        p += piece;
        n -= piece;
    }
    return true;
}

void SecureZero(void* buf, std::size_t n) {
    if (n > 0) SecureZeroMemory(buf, n);
}

bool KeepOutOfDumps() {
    // No dialog that holds the crashed process (and its memory) open on the shop's screen.
    SetErrorMode(GetErrorMode() | SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX |
                 SEM_NOOPENFILEERRORBOX);
    // WerSetFlags is in kernel32 from Vista on; looked up so that a system without it still
    // starts the program.
    using WerSetFlagsFn = HRESULT(WINAPI*)(DWORD);
    const HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    const auto wer = kernel ? reinterpret_cast<WerSetFlagsFn>(reinterpret_cast<void*>(
                                  GetProcAddress(kernel, "WerSetFlags")))
                            : nullptr;
    if (!wer) return false;
    constexpr DWORD kNoHeap = 0x1;         // WER_FAULT_REPORTING_FLAG_NOHEAP
    constexpr DWORD kNoHeapOnQueue = 0x40;  // WER_FAULT_REPORTING_FLAG_NO_HEAP_ON_QUEUE
    // Systems that do not know the queue flag refuse it: then the heap flag alone.
    return SUCCEEDED(wer(kNoHeap | kNoHeapOnQueue)) || SUCCEEDED(wer(kNoHeap));
}

std::string Cp949ToUtf8(const char* in, std::size_t n) {
    // Through UTF-16 in pieces that never end inside a two-byte character; Windows puts U+FFFD
    // (or the code page's default) for a byte it cannot read.
    std::string out;
    constexpr std::size_t kPiece = 1024;
    wchar_t wide[kPiece];
    char utf8[kPiece * 3];
    std::size_t done = 0;
    while (done < n) {
        std::size_t len = n - done;
        if (len > kPiece) {
            len = kPiece;
            std::size_t k = 0;  // stop before a lead byte whose partner lies beyond the piece
            while (k < len) k += IsDBCSLeadByteEx(949, static_cast<BYTE>(in[done + k])) ? 2 : 1;
            if (k > len) len -= 1;
        }
        const int wn = MultiByteToWideChar(949, 0, in + done, static_cast<int>(len), wide,
                                           static_cast<int>(kPiece));
        if (wn > 0) {
            const int bn = WideCharToMultiByte(CP_UTF8, 0, wide, wn, utf8, static_cast<int>(sizeof utf8),
                                               nullptr, nullptr);
            if (bn > 0) out.append(utf8, static_cast<std::size_t>(bn));
        }
        done += len;
    }
    return out;
}

struct FileReader::Platform {
    HANDLE file = INVALID_HANDLE_VALUE;
};

FileReader::FileReader() : m_platform(new Platform) {}

FileReader::~FileReader() { Close(); }

bool FileReader::Open(const char* path) {
    Close();
    HANDLE h = CreateFileW(Wide(path).c_str(), GENERIC_READ,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    if (GetFileType(h) != FILE_TYPE_DISK) {
        CloseHandle(h);
        return false;
    }
    m_platform->file = h;
    return true;
}

void FileReader::Close() {
    if (m_platform->file != INVALID_HANDLE_VALUE) CloseHandle(m_platform->file);
    m_platform->file = INVALID_HANDLE_VALUE;
}

long FileReader::Read(void* buffer, std::size_t n) {
    if (m_platform->file == INVALID_HANDLE_VALUE) return -1;
    DWORD got = 0;
    const DWORD want = n > 0x40000000 ? 0x40000000 : static_cast<DWORD>(n);
    if (!::ReadFile(m_platform->file, buffer, want, &got, nullptr)) return -1;
    return static_cast<long>(got);
}

}  // namespace sys

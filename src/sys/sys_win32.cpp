// Operating-system services on Windows: GetLocalTime, CreateDirectory, the UTF-16 round trip to
// code page 949 and the system's preferred random generator.
#include "sys/sys.h"

#include <windows.h>
#include <bcrypt.h>

#include <atomic>

namespace sys {

LocalTime Now() {
    SYSTEMTIME t{};
    GetLocalTime(&t);
    return LocalTime{t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds};
}

int ProcessId() { return static_cast<int>(GetCurrentProcessId()); }

bool MakeDirectory(const char* path) {
    CreateDirectoryA(path, nullptr);
    const DWORD attr = GetFileAttributesA(path);
    return attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_DIRECTORY) != 0;
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

}  // namespace sys

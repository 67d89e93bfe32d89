// The card-data mask of the log copy on any frame: it only ever turns bytes other than NUL into
// '*' (the logged text keeps its length), never at or beyond n, and what the request log always
// hid stays hidden: the four bytes before a first '=' that lies between positions 10 and n-3,
// and the bytes from it to the next FS.
#include "fuzz_check.h"
#include "diag/card_mask.h"
#include "relay/frame_text.h"

#include <cstdint>
#include <cstring>
#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size > 4096) size = 4096;  // the longest burst
    const int n = static_cast<int>(size);
    // The frame and its terminator, nothing more: ASan reports any access beyond.
    std::unique_ptr<char[]> work(new char[size + 1]);
    std::unique_ptr<char[]> orig(new char[size + 1]);
    if (size) std::memcpy(work.get(), data, size);
    work[size] = '\0';
    std::memcpy(orig.get(), work.get(), size + 1);

    MaskCardData(work.get(), n);

    FUZZ_CHECK(work[size] == '\0');
    for (int i = 0; i < n; ++i) {
        if (work[i] == orig[i]) continue;
        FUZZ_CHECK(work[i] == '*');
        FUZZ_CHECK(orig[i] != '\0');
    }
    FUZZ_CHECK(std::strlen(work.get()) == std::strlen(orig.get()));

    const int i = FindNthChar(orig.get(), '=', 1);
    if (!(10 < i && i < n - 3)) return 0;
    for (int p = i - 4; p < i; ++p) FUZZ_CHECK(work[p] == '*');
    const int j = FindNthChar(orig.get() + i, kFs, 1);
    for (int p = i + 1; j > 0 && p < i + j; ++p) FUZZ_CHECK(work[p] == '*');
    return 0;
}

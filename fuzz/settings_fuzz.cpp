// The settings file reader on any file: it refuses or reads without touching what it does not
// return, and what it reads survives being written and read again.
#include "app/posix/settings.h"
#include "fuzz_check.h"

#include <cstdint>
#include <cstring>
#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    // The file exactly as read, in a buffer of its own size.
    std::unique_ptr<char[]> text(new char[size ? size : 1]);
    if (size) std::memcpy(text.get(), data, size);

    StoredSettings out;
    out.port = "port-before";
    out.rate = "rate-before";
    out.version = "version-before";
    out.log = 7;
    SettingsProblem problem;
    const int r = ParseSettings(text.get(), size, &out, &problem);
    FUZZ_CHECK(r == -1 || r == 0 || r == 1);
    if (size > kMaxSettingsFile) FUZZ_CHECK(r == -1);
    if (r != 1) {
        FUZZ_CHECK(out.port == "port-before" && out.rate == "rate-before" &&
                   out.version == "version-before" && out.log == 7);
        if (r == -1) FUZZ_CHECK(!problem.reason.empty() && problem.line >= 0);
        return 0;
    }
    FUZZ_CHECK(out.log == 0 || out.log == 1);
    FUZZ_CHECK(out.port.size() <= kMaxPortText && out.rate.size() <= kMaxRateText &&
               out.version.size() <= kMaxVersionText);

    // What was read is what the program saves; saving and reading it again changes nothing.
    std::string again;
    FUZZ_CHECK(FormatSettings(out, &again));
    StoredSettings back;
    SettingsProblem problem2;
    FUZZ_CHECK(ParseSettings(again.data(), again.size(), &back, &problem2) == 1);
    FUZZ_CHECK(back.port == out.port && back.rate == out.rate && back.version == out.version &&
               back.log == out.log);
    return 0;
}

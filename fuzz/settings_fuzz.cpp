// The settings file reader on any file: every value read keeps to its limits, and the program's
// save changes its own four values and nothing the administrator wrote.
#include "app/posix/settings.h"
#include "fuzz_check.h"

#include <cstdint>
#include <cstring>
#include <memory>

namespace {

SettingsRead Read(const char* data, std::size_t size) {
    SettingsReader reader(true);
    ReadSettingsText("settings.ini", data, size, &reader);
    return reader.Finish();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size > kMaxSettingsFile) return 0;
    // The file exactly as read, in a buffer of its own size.
    std::unique_ptr<char[]> text(new char[size ? size : 1]);
    if (size) std::memcpy(text.get(), data, size);

    const SettingsRead r = Read(text.get(), size);
    FUZZ_CHECK(r.stored == 0 || r.stored == 1);
    FUZZ_CHECK(r.values.log == 0 || r.values.log == 1);
    FUZZ_CHECK(r.values.port.size() <= kMaxPortText && r.values.rate.size() <= kMaxRateText);
    FUZZ_CHECK(r.values.logDays >= 0 && r.values.logLimitMb >= 0);
    for (const SettingsIssue& issue : r.issues) FUZZ_CHECK(!issue.text.empty());

    // The save sets the four values; read again, the administrator's values are as they were.
    const OwnedSettings own{"/dev/ttyUSB0", "38400", "1, 0, 0, 5", 1};
    std::string saved;
    FUZZ_CHECK(UpdateSettingsText(std::string(text.get(), size), own, &saved));
    const SettingsRead back = Read(saved.data(), saved.size());
    FUZZ_CHECK(back.stored == 1 && back.values.port == own.port && back.values.rate == own.rate &&
               back.values.log == 1);
    FUZZ_CHECK(back.values.logFolder == r.values.logFolder && back.values.logDays == r.values.logDays &&
               back.values.logLimitMb == r.values.logLimitMb &&
               back.values.allowedServers == r.values.allowedServers &&
               back.values.allowNone == r.values.allowNone);
    return 0;
}

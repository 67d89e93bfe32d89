#include "gateway/settings_text.h"

uint32_t RateNumber(const char* text) {
    if (!text) return 0;
    const char* p = text;
    while (*p == ' ' || *p == '\t') ++p;
    uint64_t value = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        value = value * 10 + static_cast<uint64_t>(*p - '0');
        if (value > 0xFFFFFFFFull) return 0xFFFFFFFFu;
    }
    return static_cast<uint32_t>(value);
}

std::string CutText(const std::string& text, std::size_t max) {
    if (text.size() <= max) return text;
    std::size_t n = max;
    // Step back over continuation bytes so that no character is cut in half.
    while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
    return text.substr(0, n);
}

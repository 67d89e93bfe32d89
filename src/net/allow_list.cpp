#include "net/allow_list.h"

#include <cstring>

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// A decimal number of 1 to 3 digits without a leading zero, at most `max`.
bool ParseSmallNumber(const char* text, std::size_t n, unsigned max, unsigned* value) {
    if (n == 0 || n > 3 || (n > 1 && text[0] == '0')) return false;
    unsigned v = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (!IsDigit(text[i])) return false;
        v = v * 10 + static_cast<unsigned>(text[i] - '0');
    }
    if (v > max) return false;
    *value = v;
    return true;
}

// An address, or an address with "/prefix", into a range.
bool ParseItem(const char* text, std::size_t n, std::uint32_t* base, std::uint32_t* mask) {
    const char* slash = static_cast<const char*>(std::memchr(text, '/', n));
    const std::size_t addressLength = slash ? static_cast<std::size_t>(slash - text) : n;
    std::uint32_t address = 0;
    if (!ParseDottedQuad(text, addressLength, &address)) return false;
    unsigned prefix = 32;
    if (slash && !ParseSmallNumber(slash + 1, n - addressLength - 1, 32, &prefix)) return false;
    *mask = prefix == 0 ? 0 : ~std::uint32_t{0} << (32 - prefix);
    *base = address & *mask;
    return true;
}

void CopyBounded(char* out, std::size_t cap, const char* text, std::size_t n) {
    if (!out || cap == 0) return;
    const std::size_t k = n < cap - 1 ? n : cap - 1;
    std::memcpy(out, text, k);
    out[k] = '\0';
}

}  // namespace

bool ParseDottedQuad(const char* text, std::size_t n, std::uint32_t* address) {
    std::uint32_t result = 0;
    std::size_t at = 0;
    for (int part = 0; part < 4; ++part) {
        std::size_t end = at;
        while (end < n && text[end] != '.') ++end;
        unsigned value = 0;
        if (!ParseSmallNumber(text + at, end - at, 255, &value)) return false;
        result = (result << 8) | value;
        if (part < 3) {
            if (end == n) return false;  // fewer than four parts
            at = end + 1;
        } else if (end != n) {
            return false;  // a fifth part
        }
    }
    *address = result;
    return true;
}

bool AllowList::Parse(const char* text, char* badItem, std::size_t cap) {
    m_ranges.clear();
    m_malformed = false;
    m_rule = "Allowed Servers=";
    CopyBounded(badItem, cap, "", 0);
    if (!text) text = "";
    std::size_t blank = 0;
    while (IsBlank(text[blank])) ++blank;
    if (text[blank] == '\0') return true;  // nothing set: every address, as without a list

    bool first = true;
    for (const char* item = text;; ++item) {
        const char* end = item;
        while (*end != '\0' && *end != ',') ++end;
        const char* from = item;
        const char* to = end;
        while (from < to && IsBlank(*from)) ++from;
        while (to > from && IsBlank(to[-1])) --to;
        const std::size_t n = static_cast<std::size_t>(to - from);
        if (!first) m_rule += ',';
        m_rule.append(from, n);
        first = false;
        Range range{};
        if (ParseItem(from, n, &range.base, &range.mask)) {
            m_ranges.push_back(range);
        } else if (!m_malformed) {
            m_malformed = true;
            CopyBounded(badItem, cap, from, n);
        }
        if (*end == '\0') break;
        item = end;
    }
    if (m_malformed) m_ranges.clear();  // fail closed
    return !m_malformed;
}

bool AllowList::Allows(const char* host, char* rule, std::size_t cap) const {
    if (AllowsEverything()) return true;
    std::uint32_t address = 0;
    // A connect frame's host is at most 20 bytes; garbage beyond that is not looked at.
    std::size_t n = 0;
    while (host && n <= 20 && host[n] != '\0') ++n;
    if (host && n <= 20 && ParseDottedQuad(host, n, &address)) {
        for (const Range& range : m_ranges)
            if ((address & range.mask) == range.base) return true;
    }
    CopyBounded(rule, cap, m_rule.data(), m_rule.size());
    return false;
}

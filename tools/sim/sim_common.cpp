#include "sim_common.h"

#include <arpa/inet.h>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <sys/signalfd.h>

namespace sim {

namespace {
const auto g_start = std::chrono::steady_clock::now();

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

const char* ControlName(unsigned char c) {
    static const char* const kNames[32] = {
        "NUL", "SOH", "STX", "ETX", "EOT", "ENQ", "ACK", "BEL", "BS",  "HT",  "LF",
        "VT",  "FF",  "CR",  "SO",  "SI",  "DLE", "DC1", "DC2", "DC3", "DC4", "NAK",
        "SYN", "ETB", "CAN", "EM",  "SUB", "ESC", "FS",  "GS",  "RS",  "US"};
    return c < 32 ? kNames[c] : nullptr;
}
// Length of a well-formed UTF-8 sequence of 2 to 4 bytes at p, or 0.
std::size_t Utf8Length(const unsigned char* p, std::size_t n) {
    std::size_t len;
    unsigned cp;
    if ((p[0] & 0xE0) == 0xC0) { len = 2; cp = p[0] & 0x1Fu; }
    else if ((p[0] & 0xF0) == 0xE0) { len = 3; cp = p[0] & 0x0Fu; }
    else if ((p[0] & 0xF8) == 0xF0) { len = 4; cp = p[0] & 0x07u; }
    else return 0;
    if (len > n) return 0;
    for (std::size_t i = 1; i < len; ++i) {
        if ((p[i] & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (p[i] & 0x3Fu);
    }
    static const unsigned kMin[5] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return len;
}

}  // namespace

bool Unescape(const std::string& text, std::string* bytes) {
    bytes->clear();
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c != '\\') {
            *bytes += c;
            continue;
        }
        if (++i >= text.size()) return false;
        switch (text[i]) {
            case 'r': *bytes += '\r'; break;
            case 'n': *bytes += '\n'; break;
            case 't': *bytes += '\t'; break;
            case 'e': *bytes += '\x1b'; break;
            case '0': *bytes += '\0'; break;
            case '\\': *bytes += '\\'; break;
            case 'x': {
                if (i + 2 >= text.size()) return false;
                const int hi = HexValue(text[i + 1]);
                const int lo = HexValue(text[i + 2]);
                if (hi < 0 || lo < 0) return false;
                *bytes += static_cast<char>(hi * 16 + lo);
                i += 2;
                break;
            }
            default: return false;
        }
    }
    return true;
}

bool FromHex(const std::string& text, std::string* bytes) {
    bytes->clear();
    int hi = -1;
    for (char c : text) {
        if (c == ' ' || c == ':') continue;
        const int v = HexValue(c);
        if (v < 0) return false;
        if (hi < 0) {
            hi = v;
        } else {
            *bytes += static_cast<char>(hi * 16 + v);
            hi = -1;
        }
    }
    return hi < 0;
}

std::string Printable(const void* data, std::size_t n, std::size_t maxShown) {
    const auto* p = static_cast<const unsigned char*>(data);
    std::string out;
    const std::size_t shown = n < maxShown ? n : maxShown;
    for (std::size_t i = 0; i < shown; ++i) {
        const unsigned char c = p[i];
        if (const char* name = ControlName(c)) {
            out += '<';
            out += name;
            out += '>';
        } else if (c == 0x7F) {
            out += "<DEL>";
        } else if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (std::size_t len = Utf8Length(p + i, shown - i)) {
            out.append(reinterpret_cast<const char*>(p + i), len);  // readable text stays text
            i += len - 1;
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "<%02x>", c);
            out += hex;
        }
    }
    if (shown < n) out += "...";
    return out;
}

double ElapsedMs() {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - g_start)
        .count();
}

std::string Stamp() {
    char buf[32];
    std::snprintf(buf, sizeof buf, "+%8.1f ms", ElapsedMs());
    return buf;
}

int TerminationFd() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigprocmask(SIG_BLOCK, &set, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    return signalfd(-1, &set, SFD_CLOEXEC);
}

bool ParseLoopback(const std::string& text, std::string* host, int* port) {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos) return false;
    *host = text.substr(0, colon);
    char* end = nullptr;
    const long p = std::strtol(text.c_str() + colon + 1, &end, 10);
    if (colon + 1 == text.size() || *end != '\0' || p < 0 || p > 65535) return false;
    *port = static_cast<int>(p);
    in_addr a{};
    if (inet_pton(AF_INET, host->c_str(), &a) != 1) return false;
    return (ntohl(a.s_addr) >> 24) == 127;
}

}  // namespace sim

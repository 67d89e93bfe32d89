// Which payment servers the terminal may make the gateway connect to: a seam between the relay,
// which asks before every connect, and the rule list that the settings give.
#pragma once
#include <cstddef>

class ServerFilter {
public:
    virtual ~ServerFilter() = default;
    // host: the dotted IPv4 text of a connect frame. True when a connect may be tried. When
    // false, rule (cap bytes, NUL-terminated) names the setting that refused it, for the log.
    virtual bool Allows(const char* host, char* rule, std::size_t cap) const = 0;
};

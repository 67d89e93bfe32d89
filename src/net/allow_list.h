// The servers a terminal may have the gateway connect to, from the "Allowed Servers" setting:
// IPv4 addresses and CIDR ranges separated by commas, blanks around items allowed
// ("10.1.2.3, 192.168.0.0/16"). Portable: the addresses are parsed here, not by the system.
#pragma once
#include "core/server_filter.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class AllowList final : public ServerFilter {
public:
    // Replaces the list with the setting's text. An empty (or blank) text allows every address.
    // A text with a malformed item allows no address at all: a typing mistake in the setting
    // closes the door rather than opening it to the whole network. Returns false then and
    // copies the first malformed item, trimmed, to badItem (cap bytes, NUL-terminated) so that
    // the program can name it. Runs on the thread that applies the settings.
    bool Parse(const char* text, char* badItem = nullptr, std::size_t cap = 0);

    // host: the dotted IPv4 text of a connect frame (at most 20 bytes, maybe garbage). With a
    // list set, only a strict dotted quad (four numbers 0-255, no leading zeros) inside one of
    // its ranges is allowed. On refusal rule reads "Allowed Servers=<items>". No allocation.
    bool Allows(const char* host, char* rule, std::size_t cap) const override;

    bool AllowsEverything() const { return m_ranges.empty() && !m_malformed; }

private:
    struct Range {
        std::uint32_t base;
        std::uint32_t mask;
    };
    std::vector<Range> m_ranges;
    bool m_malformed = false;
    std::string m_rule;  // "Allowed Servers=" and the items as given, trimmed, comma-separated
};

// A strict dotted quad of n bytes (no blanks, no leading zeros, each part 0-255) into *address
// (host byte order). Shared by the list and the hosts it checks.
bool ParseDottedQuad(const char* text, std::size_t n, std::uint32_t* address);

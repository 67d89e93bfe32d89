// The rules for the texts of the settings that both programs share: how long the port and speed
// texts may be, and the line speed a speed text stands for.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

constexpr std::size_t kMaxPortText = 255;  // bytes: a device path, a by-id name, "\\.\COM12"
constexpr std::size_t kMaxRateText = 9;    // the registry reads the speed into 10 characters

// The number in a speed text: blanks (space, tab) before it are skipped, it ends at the first
// byte that is not a decimal digit, 0 when there is none, and a number beyond 32 bits gives the
// largest value instead of wrapping (the port then refuses the speed rather than opening at a
// wrong one).
uint32_t RateNumber(const char* text);

// text cut to at most max bytes, never inside a UTF-8 sequence.
std::string CutText(const std::string& text, std::size_t max);

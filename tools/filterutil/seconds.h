// A duration given on the command line in seconds, such as run's --shutdown-grace.
#pragma once

#include <chrono>
#include <optional>
#include <string_view>

namespace filterutil {

// The longest duration ParseSeconds takes: a day.
inline constexpr std::chrono::seconds kMostSeconds{86400};

// Seconds written as digits with an optional fraction ("2", "0.5", "1.25"), above 0 and at most
// kMostSeconds, in whole milliseconds (a fraction of one rounds up, so that no positive value
// becomes 0); nullopt for anything else (a sign, an exponent, spaces, "1.", ".5", "inf").
std::optional<std::chrono::milliseconds> ParseSeconds(std::string_view text);

} // namespace filterutil

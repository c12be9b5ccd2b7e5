#include "seconds.h"

namespace filterutil {

std::optional<std::chrono::milliseconds> ParseSeconds(std::string_view text) {
    const auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
    const size_t point = text.find('.');
    const std::string_view whole = text.substr(0, point);
    const std::string_view fraction =
        point == std::string_view::npos ? std::string_view() : text.substr(point + 1);
    if (whole.empty() || (point != std::string_view::npos && fraction.empty())) {
        return std::nullopt;
    }
    // Whole seconds, stopping as soon as they pass the cap, so that no run of digits overflows.
    long long seconds = 0;
    for (const char c : whole) {
        if (!isDigit(c)) {
            return std::nullopt;
        }
        seconds = seconds * 10 + (c - '0');
        if (seconds > kMostSeconds.count()) {
            return std::nullopt;
        }
    }
    long long milliseconds = seconds * 1000;
    long long scale = 100;
    bool roundUp = false;
    for (const char c : fraction) {
        if (!isDigit(c)) {
            return std::nullopt;
        }
        if (scale > 0) {
            milliseconds += (c - '0') * scale;
            scale /= 10;
        } else if (c != '0') {
            roundUp = true;
        }
    }
    milliseconds += roundUp ? 1 : 0;
    if (milliseconds <= 0 || milliseconds > kMostSeconds.count() * 1000) {
        return std::nullopt;
    }
    return std::chrono::milliseconds(milliseconds);
}

} // namespace filterutil

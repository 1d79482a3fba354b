#include "Platform/Iso8601.h"

#include <array>
#include <chrono>
#include <cstdio>
#include <ctime>

namespace bix::ax {

std::string iso8601UTC(TimePoint time) {
    const auto seconds = std::chrono::floor<std::chrono::seconds>(time);
    const std::time_t whole = std::chrono::system_clock::to_time_t(seconds);
    std::tm parts{};
    gmtime_r(&whole, &parts);
    std::array<char, 32> text{};
    const int length = std::snprintf(text.data(), text.size(), "%04d-%02d-%02dT%02d:%02d:%02dZ",
                                     parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday,
                                     parts.tm_hour, parts.tm_min, parts.tm_sec);
    return std::string(text.data(), static_cast<std::size_t>(length));
}

} // namespace bix::ax

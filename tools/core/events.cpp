#include "tools/core/events.h"

#include <cstdio>
#include <ctime>

#include <fmt/format.h>

namespace zrt::host {

Sink::~Sink() = default;

std::string iso_utc(SystemClock::time_point t) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
    const std::time_t secs = static_cast<std::time_t>(ms / 1000 - (ms % 1000 < 0 ? 1 : 0));
    const long milli = static_cast<long>(((ms % 1000) + 1000) % 1000);
    std::tm tm{};
    gmtime_r(&secs, &tm);
    return fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}.{:03}Z", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                       tm.tm_hour, tm.tm_min, tm.tm_sec, milli);
}

std::optional<SystemClock::time_point> from_stored_time(const std::string& text) {
    std::tm tm{};
    int ms = 0;
    char sep = ' ';
    const int n = std::sscanf(text.c_str(), "%d-%d-%d%c%d:%d:%d.%d", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &sep,
                              &tm.tm_hour, &tm.tm_min, &tm.tm_sec, &ms);
    if (n < 7 || (sep != ' ' && sep != 'T')) return std::nullopt;
    // An image of a device that never stamped its time holds zeros: no time at all. Years
    // past 2200 would not fit the clock's range.
    if (tm.tm_year < 1970 || tm.tm_year > 2200 || tm.tm_mon < 1 || tm.tm_mon > 12 || tm.tm_mday < 1 ||
        tm.tm_mday > 31)
        return std::nullopt;
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    tm.tm_isdst = -1;
    // Rows written now carry UTC ("...T...Z"); rows of older versions local time.
    const bool utc = sep == 'T' && !text.empty() && text.back() == 'Z';
    const std::time_t t = utc ? timegm(&tm) : std::mktime(&tm);
    if (t == static_cast<std::time_t>(-1)) return std::nullopt;
    return SystemClock::from_time_t(t) + std::chrono::milliseconds(n == 8 ? ms : 0);
}

}  // namespace zrt::host

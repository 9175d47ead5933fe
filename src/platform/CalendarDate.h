#pragma once

#include <chrono>
#include <ctime>
#include <optional>
#include <string>

namespace platform {

// A point in time together with the time zone (as an offset from GMT) in which its
// calendar fields are read. Formatting uses English day and month names whatever
// the machine's locale is.
class CalendarDate {
public:
    using Clock = std::chrono::system_clock;

    CalendarDate() = default;
    CalendarDate(Clock::time_point time, int gmtOffsetSeconds) : time_(time), offset_(gmtOffsetSeconds) {}

    static CalendarDate now();                               // in the machine's local zone
    static CalendarDate inLocalZone(Clock::time_point time); // offset of the local zone at that time
    static CalendarDate inGMT(Clock::time_point time);
    static CalendarDate fromSeconds(time_t seconds, int gmtOffsetSeconds = 0);
    // Calendar fields read in the zone at the given offset; none for a field out of range.
    static std::optional<CalendarDate> fromFields(int year, int month, int day, int hour, int minute,
                                                  int second, int gmtOffsetSeconds = 0);

    Clock::time_point time() const { return time_; }
    // Whole seconds, rounded down: a moment just before 1970 belongs to 1969's last
    // second, not to 1970's first.
    time_t seconds() const
    {
        return static_cast<time_t>(std::chrono::floor<std::chrono::seconds>(time_.time_since_epoch()).count());
    }
    int gmtOffset() const { return offset_; }
    // The calendar fields in this date's own zone (tm_wday 0 = Sunday).
    struct tm fields() const;

    // Calendar format directives: %a %A %b %B %d %e %m %1m %1d %y %Y %H %M %S %j %z %Z
    // and %%; any other character is copied.
    std::string format(const std::string& calendarFormat) const;
    // Parses text written by format(); none when it does not match. A %z field sets
    // the zone; without one the zone is GMT.
    static std::optional<CalendarDate> parse(const std::string& calendarFormat, const std::string& text);

    bool operator==(const CalendarDate& other) const = default;

private:
    Clock::time_point time_{};
    int offset_ = 0;
};

// "%a, %d %b %Y %H:%M:%S GMT" at offset 0: the date form of HTTP headers and
// WebDAV date properties.
std::string FormatHTTPDate(CalendarDate::Clock::time_point time);

} // namespace platform

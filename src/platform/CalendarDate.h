#pragma once

#include <chrono>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>

namespace platform {

// A point in time together with the time zone (as an offset from GMT) in which its
// calendar fields are read. Formatting uses English day and month names whatever
// the machine's locale is.
//
// A date is held as whole seconds and nanoseconds since 1970, so that every date
// of the years 1601 to 9999 is exact: the host clock's nanosecond time points end
// in 1677 and 2262, and a date pushed through one would silently become another.
// A date's calendar fields, read in its own zone, always fall in those years, and
// its zone is whole minutes within 23:59 of GMT: exactly what the four-digit year
// and the "+hhmm" zone of the text formats can write, so that text written by
// format() reads back as the same date. Whatever would leave those bounds is
// refused (none) by the factories, never wrapped or rounded into another date.
class CalendarDate {
public:
    using Clock = std::chrono::system_clock;
    static constexpr int kFirstYear = 1601;
    static constexpr int kLastYear = 9999;
    static constexpr int kMaxGMTOffset = 23 * 3600 + 59 * 60;

    CalendarDate() = default; // 1 January 1970, 00:00:00 GMT

    static CalendarDate now(); // in the machine's local zone
    // The local zone's wall clock at that time. The offset it carries is the
    // zone's to the whole minute within kMaxGMTOffset (a zone's old local mean time
    // can be seconds off a minute); the fields are the zone's own all the same.
    static CalendarDate inLocalZone(Clock::time_point time);
    static CalendarDate inGMT(Clock::time_point time);
    // A moment of the host clock read in the zone at the given offset; none for an
    // offset that is not whole minutes within kMaxGMTOffset.
    static std::optional<CalendarDate> at(Clock::time_point time, int gmtOffsetSeconds);
    // Seconds since 1970 GMT and a fraction of the next; none for an offset as
    // above, a fraction outside 0..999,999,999 ns, or when the date's fields in
    // that zone fall outside kFirstYear..kLastYear.
    static std::optional<CalendarDate> fromSeconds(int64_t seconds, int gmtOffsetSeconds = 0, int32_t nanoseconds = 0);
    // Calendar fields read in the zone at the given offset; none for a field out of
    // range (a 31 April, an hour 24, a second 60, a year outside the bounds) or an
    // offset as above.
    static std::optional<CalendarDate> fromFields(int year, int month, int day, int hour, int minute,
                                                  int second, int gmtOffsetSeconds = 0);

    // The moment on the host clock; none for a date the clock cannot hold.
    std::optional<Clock::time_point> time() const;
    // Whole seconds since 1970 GMT, rounded down: a moment just before 1970 belongs
    // to 1969's last second, not to 1970's first.
    int64_t seconds() const { return seconds_; }
    int32_t nanoseconds() const { return nanoseconds_; } // the fraction, 0 to 999,999,999
    int gmtOffset() const { return offset_; }
    // The calendar fields in this date's own zone (tm_wday 0 = Sunday).
    struct tm fields() const;

    // Calendar format directives: %a %A %b %B %d %e %m %1m %1d %y %Y %H %M %S %j %z %Z
    // and %%; any other character is copied.
    std::string format(const std::string& calendarFormat) const;
    // Parses text written by format(); none when it does not match or names no
    // date of the bounds above. A %z field sets the zone; without one the zone is GMT.
    static std::optional<CalendarDate> parse(const std::string& calendarFormat, const std::string& text);

    bool operator==(const CalendarDate& other) const = default;

private:
    CalendarDate(int64_t seconds, int32_t nanoseconds, int offset)
        : seconds_(seconds), nanoseconds_(nanoseconds), offset_(offset)
    {
    }

    int64_t seconds_ = 0;
    int32_t nanoseconds_ = 0;
    int32_t offset_ = 0;
};

// The calendar fields (as gmtime_r gives them) of a count of seconds since 1970 in
// UTC, worked out without the C library's locks: a listing needs a few per entry.
struct tm UtcFields(int64_t seconds);
// "%a, %d %b %Y %H:%M:%S GMT" at offset 0: the date form of HTTP headers and
// WebDAV date properties.
std::string FormatHTTPDate(CalendarDate::Clock::time_point time);

// Appends FormatHTTPDate's text to a buffer, keeping the text of the last second it
// wrote: the members of a listing mostly share a few dates.
class HTTPDateMemo {
public:
    void append(std::string& out, CalendarDate::Clock::time_point time);

private:
    int64_t seconds_ = 0;
    uint8_t size_ = 0; // 0 until a date was written
    char text_[48];
};

} // namespace platform

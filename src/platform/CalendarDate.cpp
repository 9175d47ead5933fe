#include "platform/CalendarDate.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <type_traits>
#include <utility>

namespace platform {

namespace {

const char* const kDayShort[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const kDayLong[] = {"Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"};
const char* const kMonthShort[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
const char* const kMonthLong[] = {"January", "February", "March",     "April",   "May",      "June",
                                  "July",    "August",   "September", "October", "November", "December"};

std::string twoDigits(int v)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "%02d", v);
    return buf;
}

// The first and last second of the years a date's fields may fall in, counted
// from 1970 in the date's own zone.
constexpr int64_t kFirstLocalSecond = -11644473600; // 1601-01-01 00:00:00
constexpr int64_t kLastLocalSecond = 253402300799;  // 9999-12-31 23:59:59

bool IsWritableOffset(int offset)
{
    return offset % 60 == 0 && offset >= -CalendarDate::kMaxGMTOffset && offset <= CalendarDate::kMaxGMTOffset;
}

long localOffsetAt(time_t t)
{
    struct tm local {};
    localtime_r(&t, &local);
    return local.tm_gmtoff;
}

// The writable offset nearest to a zone's own: whole minutes within the limit.
int WritableOffset(long offset)
{
    long rounded = (offset + (offset < 0 ? -30 : 30)) / 60 * 60;
    return static_cast<int>(std::clamp<long>(rounded, -CalendarDate::kMaxGMTOffset, CalendarDate::kMaxGMTOffset));
}

// Reads exactly `width` digits (or 1..width when `exact` is false) at text[pos].
bool readNumber(const std::string& text, size_t& pos, int width, bool exact, int& out)
{
    int value = 0;
    int n = 0;
    while (n < width && pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
        value = value * 10 + (text[pos] - '0');
        ++pos;
        ++n;
    }
    if (n == 0 || (exact && n != width))
        return false;
    out = value;
    return true;
}

} // namespace

CalendarDate CalendarDate::now() { return inLocalZone(Clock::now()); }

CalendarDate CalendarDate::inLocalZone(Clock::time_point time)
{
    // The fields are the zone's own wall clock, even in a zone whose offset has
    // seconds or lies beyond what an offset can be written as: the difference is
    // moved into the time, and the nearest writable offset is the one written.
    // The clock's years lie within the bounds in every zone.
    long offset = localOffsetAt(Clock::to_time_t(time));
    int writable = WritableOffset(offset);
    return *at(time + std::chrono::seconds(offset - writable), writable);
}

CalendarDate CalendarDate::inGMT(Clock::time_point time) { return *at(time, 0); }

std::optional<CalendarDate> CalendarDate::at(Clock::time_point time, int gmtOffsetSeconds)
{
    if (!IsWritableOffset(gmtOffsetSeconds))
        return std::nullopt;
    // Split on the count itself: chrono's floor of the clock's first moment would
    // step below what its nanoseconds can hold.
    constexpr int64_t kPerSecond = 1000000000;
    int64_t count = std::chrono::duration_cast<std::chrono::nanoseconds>(time.time_since_epoch()).count();
    int64_t seconds = count / kPerSecond, fraction = count % kPerSecond;
    if (fraction < 0) {
        fraction += kPerSecond;
        --seconds;
    }
    return CalendarDate(seconds, static_cast<int32_t>(fraction), gmtOffsetSeconds);
}

std::optional<CalendarDate> CalendarDate::fromSeconds(int64_t seconds, int gmtOffsetSeconds, int32_t nanoseconds)
{
    if (!IsWritableOffset(gmtOffsetSeconds) || nanoseconds < 0 || nanoseconds > 999999999 ||
        seconds < kFirstLocalSecond - gmtOffsetSeconds || seconds > kLastLocalSecond - gmtOffsetSeconds)
        return std::nullopt;
    return CalendarDate(seconds, nanoseconds, gmtOffsetSeconds);
}

std::optional<CalendarDate> CalendarDate::fromFields(int year, int month, int day, int hour, int minute,
                                                     int second, int gmtOffsetSeconds)
{
    // A POSIX day has no leap second: a second 60 would silently become the next
    // minute's first.
    if (year < kFirstYear || year > kLastYear || month < 1 || month > 12 || day < 1 || day > 31 || hour < 0 ||
        hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59)
        return std::nullopt;
    struct tm t {};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    time_t asGMT = timegm(&t);
    // timegm rolls a day past the month's end over into the next month (30 February
    // becomes 2 March); such a day is out of range.
    if (t.tm_mday != day || t.tm_mon != month - 1)
        return std::nullopt;
    return fromSeconds(static_cast<int64_t>(asGMT) - gmtOffsetSeconds, gmtOffsetSeconds);
}

std::optional<CalendarDate::Clock::time_point> CalendarDate::time() const
{
    // Counted wider than the clock, so that its first and last moments are found
    // exactly and nothing beyond them wraps.
    const __int128 count = static_cast<__int128>(seconds_) * 1000000000 + nanoseconds_;
    if (count < std::numeric_limits<Clock::rep>::min() || count > std::numeric_limits<Clock::rep>::max())
        return std::nullopt;
    static_assert(std::is_same_v<Clock::duration, std::chrono::nanoseconds>);
    return Clock::time_point(Clock::duration(static_cast<Clock::rep>(count)));
}

struct tm CalendarDate::fields() const { return UtcFields(seconds_ + offset_); }

struct tm UtcFields(int64_t seconds)
{
    // Days and the time of day, both rounded down, then the civil date of the day
    // count in the proleptic Gregorian calendar (eras of 400 years from 0000-03-01).
    int64_t days = seconds / 86400, rest = seconds % 86400;
    if (rest < 0) {
        rest += 86400;
        --days;
    }
    struct tm t {};
    t.tm_hour = static_cast<int>(rest / 3600);
    t.tm_min = static_cast<int>(rest / 60 % 60);
    t.tm_sec = static_cast<int>(rest % 60);
    t.tm_wday = static_cast<int>((days % 7 + 11) % 7); // 1970-01-01 was a Thursday
    const int64_t z = days + 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t dayOfEra = z - era * 146097;
    const int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100); // from March 1
    const int64_t shiftedMonth = (5 * dayOfYear + 2) / 153;
    const int month = static_cast<int>(shiftedMonth < 10 ? shiftedMonth + 3 : shiftedMonth - 9);
    const int64_t year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
    t.tm_mday = static_cast<int>(dayOfYear - (153 * shiftedMonth + 2) / 5 + 1);
    t.tm_mon = month - 1;
    t.tm_year = static_cast<int>(year - 1900);
    // Days since January 1: March 1 is day 59, or 60 in a leap year.
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    t.tm_yday = static_cast<int>(month <= 2 ? dayOfYear - 306 : dayOfYear + 59 + (leap ? 1 : 0));
    static char kGMT[] = "GMT";
    t.tm_zone = kGMT;
    return t;
}

namespace {

// The directive after the '%' at f[i], moving i onto its letter; "%1" before the
// letter asks for a number without its leading zero.
std::pair<char, bool> Directive(const std::string& f, size_t& i)
{
    char c = f[++i];
    if (c == '1' && i + 1 < f.size())
        return {f[++i], true};
    return {c, false};
}

} // namespace

std::string CalendarDate::format(const std::string& f) const
{
    struct tm t = fields();
    std::string out;
    for (size_t i = 0; i < f.size(); ++i) {
        if (f[i] != '%' || i + 1 >= f.size()) {
            out += f[i];
            continue;
        }
        auto [c, noPad] = Directive(f, i);
        switch (c) {
        case 'a': out += kDayShort[t.tm_wday]; break;
        case 'A': out += kDayLong[t.tm_wday]; break;
        case 'b': out += kMonthShort[t.tm_mon]; break;
        case 'B': out += kMonthLong[t.tm_mon]; break;
        case 'd': out += noPad ? std::to_string(t.tm_mday) : twoDigits(t.tm_mday); break;
        case 'e': out += std::to_string(t.tm_mday); break;
        case 'm': out += noPad ? std::to_string(t.tm_mon + 1) : twoDigits(t.tm_mon + 1); break;
        case 'y': out += twoDigits(t.tm_year % 100); break;
        case 'Y': out += std::to_string(t.tm_year + 1900); break;
        case 'H': out += twoDigits(t.tm_hour); break;
        case 'M': out += twoDigits(t.tm_min); break;
        case 'S': out += twoDigits(t.tm_sec); break;
        case 'j': {
            char buf[16];
            std::snprintf(buf, sizeof buf, "%03d", t.tm_yday + 1);
            out += buf;
            break;
        }
        case 'z':
        case 'Z': {
            int off = offset_;
            char sign = off < 0 ? '-' : '+';
            off = std::abs(off);
            char buf[16];
            std::snprintf(buf, sizeof buf, "%c%02d%02d", sign, off / 3600, (off % 3600) / 60);
            out += (c == 'Z' && offset_ == 0) ? std::string("GMT") : std::string(buf);
            break;
        }
        case '%': out += '%'; break;
        default:
            out += '%';
            if (noPad)
                out += '1';
            out += c;
        }
    }
    return out;
}

std::optional<CalendarDate> CalendarDate::parse(const std::string& f, const std::string& text)
{
    int year = 1970, month = 1, day = 1, hour = 0, minute = 0, second = 0, offset = 0;
    size_t pos = 0;
    for (size_t i = 0; i < f.size(); ++i) {
        if (f[i] != '%' || i + 1 >= f.size()) {
            if (pos >= text.size() || text[pos] != f[i])
                return std::nullopt;
            ++pos;
            continue;
        }
        auto [c, noPad] = Directive(f, i);
        bool ok = true;
        switch (c) {
        case 'Y': ok = readNumber(text, pos, 4, true, year); break;
        case 'y':
            ok = readNumber(text, pos, 2, true, year);
            year += year < 70 ? 2000 : 1900;
            break;
        case 'm': ok = readNumber(text, pos, 2, !noPad, month); break;
        case 'd': ok = readNumber(text, pos, 2, !noPad, day); break;
        case 'e': ok = readNumber(text, pos, 2, false, day); break;
        case 'H': ok = readNumber(text, pos, 2, true, hour); break;
        case 'M': ok = readNumber(text, pos, 2, true, minute); break;
        case 'S': ok = readNumber(text, pos, 2, true, second); break;
        case 'z': {
            if (pos >= text.size() || (text[pos] != '+' && text[pos] != '-'))
                return std::nullopt;
            int sign = text[pos] == '-' ? -1 : 1;
            ++pos;
            int hhmm = 0;
            ok = readNumber(text, pos, 4, true, hhmm) && hhmm / 100 <= 23 && hhmm % 100 <= 59;
            offset = sign * ((hhmm / 100) * 3600 + (hhmm % 100) * 60);
            break;
        }
        case '%':
            ok = pos < text.size() && text[pos] == '%';
            ++pos;
            break;
        default: return std::nullopt;
        }
        if (!ok)
            return std::nullopt;
    }
    if (pos != text.size())
        return std::nullopt;
    return fromFields(year, month, day, hour, minute, second, offset);
}

namespace {

// Whole seconds since 1970 of a time, rounded down as inGMT rounds them.
int64_t FlooredSeconds(CalendarDate::Clock::time_point time)
{
    constexpr int64_t kPerSecond = 1000000000;
    int64_t count = std::chrono::duration_cast<std::chrono::nanoseconds>(time.time_since_epoch()).count();
    return count / kPerSecond - (count % kPerSecond < 0 ? 1 : 0);
}

// Writes the HTTP date of `seconds` at `text` (room for 48 bytes); returns its end.
char* WriteHTTPDate(char* text, int64_t seconds)
{
    struct tm t = UtcFields(seconds);
    char* p = text;
    auto put = [&p](const char* piece) {
        while (*piece)
            *p++ = *piece++;
    };
    auto two = [&p](int v) {
        *p++ = static_cast<char>('0' + v / 10);
        *p++ = static_cast<char>('0' + v % 10);
    };
    put(kDayShort[t.tm_wday]);
    put(", ");
    two(t.tm_mday);
    *p++ = ' ';
    put(kMonthShort[t.tm_mon]);
    *p++ = ' ';
    p = std::to_chars(p, text + 48, t.tm_year + 1900).ptr;
    *p++ = ' ';
    two(t.tm_hour);
    *p++ = ':';
    two(t.tm_min);
    *p++ = ':';
    two(t.tm_sec);
    put(" GMT");
    return p;
}

} // namespace

std::string FormatHTTPDate(CalendarDate::Clock::time_point time)
{
    // The same text as format("%a, %d %b %Y %H:%M:%S GMT"), written in one buffer: a
    // listing formats a few dates for each of its entries.
    char text[48];
    return std::string(text, WriteHTTPDate(text, FlooredSeconds(time)));
}

void HTTPDateMemo::append(std::string& out, CalendarDate::Clock::time_point time)
{
    int64_t seconds = FlooredSeconds(time);
    if (!size_ || seconds != seconds_) {
        seconds_ = seconds;
        size_ = static_cast<uint8_t>(WriteHTTPDate(text_, seconds) - text_);
    }
    out.append(text_, size_);
}

} // namespace platform

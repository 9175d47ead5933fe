// Calendar dates and their text formats: English names and the given zone, whatever
// the machine's locale and local zone are; every date of the years 1601 to 9999
// exact, and nothing outside them turned into another date.

#include "platform/CalendarDate.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <ctime>
#include <random>
#include <tuple>

using platform::CalendarDate;
using namespace std::chrono_literals;

// A local zone far from GMT with a half-hour offset, and a non-English locale where
// the machine has one, before any test runs.
[[maybe_unused]] static const bool kForeignSettings = [] {
    ::setenv("TZ", "Asia/Kolkata", 1);
    ::tzset();
    return std::setlocale(LC_ALL, "de_DE.UTF-8") != nullptr;
}();

constexpr time_t kSat7Mar2009 = 1236434709; // 2009-03-07 14:05:09 GMT
constexpr const char* kPrefFormat = "%Y%m%d %H%M%S %z";
constexpr int64_t kFirstSecond = -11644473600; // 1601-01-01 00:00:00 GMT
constexpr int64_t kLastSecond = 253402300799;  // 9999-12-31 23:59:59 GMT

static CalendarDate At(int64_t seconds, int offset = 0) { return CalendarDate::fromSeconds(seconds, offset).value(); }

// Days since 1970 of a proleptic Gregorian date, counted without the C library, to
// check the calendar fields the library gives across the whole range.
static int64_t DaysFromCivil(int64_t y, int m, int d)
{
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    return era * 146097 + yoe * 365 + yoe / 4 - yoe / 100 + doy - 719468;
}

TEST(CalendarDate, FormatsWithEnglishNamesInTheDatesOwnZone)
{
    const std::tuple<int64_t, int, const char*, const char*> cases[] = {
        {kSat7Mar2009, 0, "%a, %d %b %Y %H:%M:%S %Z 100%%", "Sat, 07 Mar 2009 14:05:09 GMT 100%"},
        {kSat7Mar2009, 0, "%A %B|%e|%1d|%d|%1m|%m|%y|%j", "Saturday March|7|7|07|3|03|09|066"},
        {kSat7Mar2009, 19800, "%1m/%e/%y %H:%M:%S %z %Z", "3/7/09 19:35:09 +0530 +0530"},
        {kSat7Mar2009, -12600, "%Y%m%d %H%M%S %z", "20090307 103509 -0330"},
        // A zone's offset can move the calendar fields into the next year.
        {1262302200, 19800, "%a %Y-%m-%d %H:%M %j", "Fri 2010-01-01 05:00 001"},
        {951782400, 0, "%A %e %B %Y %j", "Tuesday 29 February 2000 060"},
        {-1, 0, "%Y-%m-%d %H:%M:%S %a", "1969-12-31 23:59:59 Wed"},
        // Far from the host clock's years, and at both ends of the calendar.
        {kFirstSecond + 59 * 86400 + 47109, 0, "%a %Y-%m-%d %H:%M:%S", "Thu 1601-03-01 13:05:09"},
        {kFirstSecond, 0, "%a %d %b %Y %H:%M:%S %j", "Mon 01 Jan 1601 00:00:00 001"},
        {kLastSecond, 0, "%A %d %B %Y %H:%M:%S %j %y", "Friday 31 December 9999 23:59:59 365 99"},
        {kFirstSecond - 3600, 3600, "%Y-%m-%d %H:%M %z", "1601-01-01 00:00 +0100"},
    };
    for (const auto& [seconds, offset, format, expected] : cases)
        EXPECT_EQ(At(seconds, offset).format(format), expected) << format;

    // 32 days apart, a year's dates step through every month and weekday.
    std::string all;
    for (int i = 0; i < 12; ++i)
        all += At(kSat7Mar2009 + i * 32 * 86400).format("%a %b,");
    EXPECT_EQ(all, "Sat Mar,Wed Apr,Sun May,Thu Jun,Mon Jul,Fri Aug,Tue Sep,Sat Oct,Wed Nov,Sun Dec,Thu Jan,Mon Feb,");
}

TEST(CalendarDate, ParseOfFormattedTextGivesTheSameMomentToTheSecond)
{
    const std::pair<time_t, int> cases[] = {{kSat7Mar2009, 0},     {kSat7Mar2009, 19800}, {kSat7Mar2009, -12600},
                                            {kSat7Mar2009, 50400}, {1262302200, 19800},   {-86400 * 365, 3600}};
    for (const auto& [seconds, offset] : cases) {
        // Fractions of a second are lost on the way.
        auto date = CalendarDate::at(CalendarDate::Clock::from_time_t(seconds) + 750ms, offset);
        ASSERT_TRUE(date);
        EXPECT_EQ(date->nanoseconds(), 750000000);
        std::string text = date->format(kPrefFormat);
        EXPECT_EQ(CalendarDate::parse(kPrefFormat, text), At(seconds, offset)) << text;
    }
    for (const char* text : {"", "20090307 140509", "2009037 140509 +0000", "2009a307 140509 +0000",
                             "20090307 140509 +0000 ", "20090307 140509 0530", "20090307 140509 +0575",
                             "20091307 140509 +0000", "20090229 140509 +0000", "20090307 240509 +0000",
                             "20161231 235960 +0000", "16001231 235959 +0000", "16001231 235959 -0100",
                             "00000101 000000 +0000", "20090007 140509 +0000", "20090300 140509 +0000"})
        EXPECT_FALSE(CalendarDate::parse(kPrefFormat, text)) << '"' << text << '"';
    EXPECT_TRUE(CalendarDate::parse(kPrefFormat, "20080229 140509 +0000")) << "29 February of a leap year";
}

// What each way of making a date accepts: the calendar's own rules (month lengths,
// leap years of the Gregorian calendar, no leap second), the years 1601 to 9999 in
// the date's own zone, and zones of whole minutes within 23:59 of GMT.
TEST(CalendarDate, MakesEveryDateOfTheBoundsAndRefusesTheRest)
{
    struct Fields {
        int year, month, day, hour, minute, second, offset;
        bool exists;
    };
    const Fields cases[] = {
        {1601, 1, 1, 0, 0, 0, 0, true},          {1600, 12, 31, 23, 59, 59, 0, false},
        {9999, 12, 31, 23, 59, 59, 0, true},     {10000, 1, 1, 0, 0, 0, 0, false},
        {1601, 1, 1, 0, 30, 0, 3600, true},      {9999, 12, 31, 23, 0, 0, -3600, true},
        {2000, 2, 29, 12, 0, 0, 0, true},        {1900, 2, 29, 12, 0, 0, 0, false},
        {1700, 2, 29, 0, 0, 0, 0, false},        {1604, 2, 29, 0, 0, 0, 0, true},
        {2009, 4, 31, 0, 0, 0, 0, false},        {2009, 13, 1, 0, 0, 0, 0, false},
        {2009, 0, 1, 0, 0, 0, 0, false},         {2009, 1, 32, 0, 0, 0, 0, false},
        {2009, 1, 0, 0, 0, 0, 0, false},         {2009, 1, 1, 24, 0, 0, 0, false},
        {2009, 1, 1, 0, 60, 0, 0, false},        {2009, 6, 30, 23, 59, 60, 0, false},
        {2009, 1, 1, -1, 0, 0, 0, false},        {2009, 1, 1, 0, 0, 0, 86340, true},
        {2009, 1, 1, 0, 0, 0, 86400, false},     {2009, 1, 1, 0, 0, 0, -86340, true},
        {2009, 1, 1, 0, 0, 0, 19830, false},     {65535, 65535, 65535, 65535, 65535, 65535, 0, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.year << "-" << c.month << "-" << c.day << " " << c.hour << ":"
                                        << c.minute << ":" << c.second << " " << c.offset);
        auto date = CalendarDate::fromFields(c.year, c.month, c.day, c.hour, c.minute, c.second, c.offset);
        ASSERT_EQ(date.has_value(), c.exists);
        if (!date)
            continue;
        struct tm t = date->fields();
        EXPECT_EQ(std::make_tuple(t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec),
                  std::make_tuple(c.year, c.month, c.day, c.hour, c.minute, c.second));
        EXPECT_EQ(date->gmtOffset(), c.offset);
    }

    // Seconds: the same bounds, in the zone the date is read in.
    EXPECT_TRUE(CalendarDate::fromSeconds(kFirstSecond));
    EXPECT_FALSE(CalendarDate::fromSeconds(kFirstSecond - 1));
    EXPECT_FALSE(CalendarDate::fromSeconds(kFirstSecond, -60));
    EXPECT_TRUE(CalendarDate::fromSeconds(kFirstSecond - 60, 60));
    EXPECT_TRUE(CalendarDate::fromSeconds(kLastSecond));
    EXPECT_FALSE(CalendarDate::fromSeconds(kLastSecond + 1));
    EXPECT_FALSE(CalendarDate::fromSeconds(kLastSecond, 60));
    EXPECT_FALSE(CalendarDate::fromSeconds(INT64_MAX));
    EXPECT_FALSE(CalendarDate::fromSeconds(INT64_MIN, -CalendarDate::kMaxGMTOffset));
    EXPECT_FALSE(CalendarDate::fromSeconds(0, 0, 1000000000));
    EXPECT_FALSE(CalendarDate::fromSeconds(0, 0, -1));
    EXPECT_FALSE(CalendarDate::at(CalendarDate::Clock::time_point{}, 45));

    // The host clock holds only part of the calendar; time() says so rather than
    // wrapping 1601 round into 2185.
    EXPECT_FALSE(At(kFirstSecond).time());
    EXPECT_FALSE(At(kLastSecond).time());
    for (auto moment : {CalendarDate::Clock::time_point::min(), CalendarDate::Clock::time_point::max(),
                        CalendarDate::Clock::time_point(-1ns), CalendarDate::Clock::now()}) {
        CalendarDate date = CalendarDate::inGMT(moment);
        EXPECT_EQ(date.time(), moment);
        EXPECT_LT(date.nanoseconds(), 1000000000);
        EXPECT_GE(date.nanoseconds(), 0);
    }
    EXPECT_EQ(CalendarDate::inGMT(CalendarDate::Clock::time_point(-1ns)).seconds(), -1);
}

// A zone that kept the local mean time of its city is seconds off a whole minute;
// such a date is read to the nearest minute, which the text formats can write.
TEST(CalendarDate, LocalZoneToTheWholeMinute)
{
    const char* saved = std::getenv("TZ");
    const std::string previous = saved ? saved : "";
    for (const auto& [zone, offset] : {std::pair{"LMT-5:53:38", 21240}, {"LMT+0:44:20", -2640}, {"LMT+0:44:40", -2700}, {"UTC0", 0}}) {
        ::setenv("TZ", zone, 1);
        ::tzset();
        CalendarDate date = CalendarDate::inLocalZone(CalendarDate::Clock::from_time_t(kSat7Mar2009));
        EXPECT_EQ(date.gmtOffset(), offset) << zone;
        EXPECT_EQ(CalendarDate::parse(kPrefFormat, date.format(kPrefFormat)), date) << zone;
    }
    ::setenv("TZ", previous.c_str(), 1);
    ::tzset();
}

// Property: spread over the whole calendar and every zone, a date's text reads
// back as the same date, its fields make it again, and those fields are the ones
// the Gregorian calendar gives for its day.
TEST(CalendarDate, EveryDateRoundTripsThroughItsFieldsAndTexts)
{
    std::mt19937_64 random(20240301);
    std::uniform_int_distribution<int64_t> seconds(kFirstSecond, kLastSecond);
    std::uniform_int_distribution<int> minutes(-(23 * 60 + 59), 23 * 60 + 59);
    int made = 0;
    for (int i = 0; i < 20000; ++i) {
        const int64_t s = seconds(random);
        const int offset = minutes(random) * 60;
        auto date = CalendarDate::fromSeconds(s, offset);
        const int64_t local = s + offset;
        ASSERT_EQ(date.has_value(), local >= kFirstSecond && local <= kLastSecond) << s << " " << offset;
        if (!date)
            continue;
        ++made;
        struct tm t = date->fields();
        const int64_t day = local >= 0 ? local / 86400 : (local - 86399) / 86400;
        ASSERT_EQ(DaysFromCivil(t.tm_year + 1900, t.tm_mon + 1, t.tm_mday), day) << s << " " << offset;
        ASSERT_EQ(t.tm_wday, ((day % 7) + 11) % 7) << s; // 1 January 1970 was a Thursday
        ASSERT_EQ(t.tm_hour * 3600 + t.tm_min * 60 + t.tm_sec, local - day * 86400);
        ASSERT_EQ(CalendarDate::fromFields(t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec,
                                           offset),
                  date);
        for (const char* format : {kPrefFormat, "%d.%m.%Y %H:%M:%S %z"})
            ASSERT_EQ(CalendarDate::parse(format, date->format(format)), date) << date->format(format);
    }
    EXPECT_GT(made, 19000);
}

// The calendar arithmetic agrees with the C library's on every kind of day: both
// sides of 1970, leap days, century years, and the ends of the years a date holds.
TEST(UtcFields, AgreeWithGmtimeAcrossTheYearsADateHolds)
{
    auto same = [](int64_t seconds) {
        time_t t = static_cast<time_t>(seconds);
        struct tm expected {};
        gmtime_r(&t, &expected);
        struct tm got = platform::UtcFields(seconds);
        return got.tm_year == expected.tm_year && got.tm_mon == expected.tm_mon && got.tm_mday == expected.tm_mday &&
               got.tm_hour == expected.tm_hour && got.tm_min == expected.tm_min && got.tm_sec == expected.tm_sec &&
               got.tm_wday == expected.tm_wday && got.tm_yday == expected.tm_yday;
    };
    const int64_t first = -11644473600LL; // 1601-01-01T00:00:00Z
    const int64_t last = 253402300799LL;  // 9999-12-31T23:59:59Z
    for (int64_t edge : {first, first + 1, int64_t(-1), int64_t(0), int64_t(951782400) /* 2000-02-29 */,
                         int64_t(4107456000) /* 2100-02-28 */, int64_t(4107542399), last})
        EXPECT_TRUE(same(edge)) << edge;
    // Every day of the range once, at a time of day that walks through the clock.
    int mismatches = 0;
    for (int64_t day = first / 86400; day <= last / 86400 && mismatches < 5; ++day) {
        int64_t seconds = day * 86400 + (day * 7919) % 86400;
        if (!same(seconds)) {
            ++mismatches;
            ADD_FAILURE() << "differs at " << seconds;
        }
    }
}

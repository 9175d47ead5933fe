// Calendar dates and their text formats: English names and the given zone, whatever
// the machine's locale and local zone are; every date of the years 1601 to 9999
// exact, and nothing outside them turned into another date.

#include "platform/CalendarDate.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <ctime>
#include <tuple>

using platform::CalendarDate;

// A local zone far from GMT with a half-hour offset, and a non-English locale where
// the machine has one, before any test runs.
[[maybe_unused]] static const bool kForeignSettings = [] {
    ::setenv("TZ", "Asia/Kolkata", 1);
    ::tzset();
    return std::setlocale(LC_ALL, "de_DE.UTF-8") != nullptr;
}();

constexpr time_t kSat7Mar2009 = 1236434709; // 2009-03-07 14:05:09 GMT
constexpr const char* kPrefFormat = "%Y%m%d %H%M%S %z";
constexpr int64_t kLastSecond = 253402300799;  // 9999-12-31 23:59:59 GMT

static CalendarDate At(int64_t seconds, int offset = 0) { return CalendarDate::fromSeconds(seconds, offset).value(); }

TEST(CalendarDate, FormatsWithEnglishNamesInTheDatesOwnZone)
{
    const std::tuple<int64_t, int, const char*, const char*> cases[] = {
        {kSat7Mar2009, 0, "%a, %d %b %Y %H:%M:%S %Z 100%%", "Sat, 07 Mar 2009 14:05:09 GMT 100%"},
        {kSat7Mar2009, 0, "%A %B|%e|%1d|%d|%1m|%m|%y|%j", "Saturday March|7|7|07|3|03|09|066"},
        {kSat7Mar2009, 19800, "%1m/%e/%y %H:%M:%S %z %Z", "3/7/09 19:35:09 +0530 +0530"},
        {kSat7Mar2009, -12600, "%H%M %z", "1035 -0330"},
        {951782400, 0, "%A %e %B %Y %j", "Tuesday 29 February 2000 060"},
        // The last second of the calendar, far past the host clock's years.
        {kLastSecond, 0, "%A %d %B %Y %H:%M:%S %j %y", "Friday 31 December 9999 23:59:59 365 99"},
    };
    for (const auto& [seconds, offset, format, expected] : cases)
        EXPECT_EQ(At(seconds, offset).format(format), expected) << format;

    // 32 days apart, a year's dates step through every month and weekday.
    std::string all;
    for (int i = 0; i < 12; ++i)
        all += At(kSat7Mar2009 + i * 32 * 86400).format("%a %b,");
    EXPECT_EQ(all, "Sat Mar,Wed Apr,Sun May,Thu Jun,Mon Jul,Fri Aug,Tue Sep,Sat Oct,Wed Nov,Sun Dec,Thu Jan,Mon Feb,");
}

// A listing writes its dates through a memo of the last second: the same text as
// FormatHTTPDate for any order of times, fractions and dates before 1970 included.
TEST(CalendarDate, DateMemoWritesWhatFormatHTTPDateWrites)
{
    using namespace std::chrono;
    const auto base = system_clock::from_time_t(kSat7Mar2009);
    const system_clock::time_point times[] = {
        base, base + milliseconds(999), base + seconds(1), base, system_clock::from_time_t(0) - milliseconds(1),
        system_clock::from_time_t(0), base - hours(24 * 400), base - hours(24 * 400) + milliseconds(500)};
    platform::HTTPDateMemo memo;
    std::string memoText, formatted;
    for (auto time : times) {
        memo.append(memoText, time);
        formatted += platform::FormatHTTPDate(time);
        memoText += '|', formatted += '|';
    }
    EXPECT_EQ(memoText, formatted);
    EXPECT_EQ(formatted.substr(0, 60), "Sat, 07 Mar 2009 14:05:09 GMT|Sat, 07 Mar 2009 14:05:09 GMT|");
    EXPECT_NE(formatted.find("Wed, 31 Dec 1969 23:59:59 GMT|Thu, 01 Jan 1970 00:00:00 GMT|"), std::string::npos);
}

// Every text the format writes reads back (the dates fuzz target walks that);
// these are texts no date writes, each to be refused rather than read as a
// neighbouring date.
TEST(CalendarDate, ParseRefusesTextNoDateWrites)
{
    for (const char* text : {"", "20090307 140509", "2009037 140509 +0000", "20090307 140509 0530",
                             "20090229 140509 +0000", "20161231 235960 +0000", "20090300 140509 +0000"})
        EXPECT_FALSE(CalendarDate::parse(kPrefFormat, text)) << '"' << text << '"';
    EXPECT_TRUE(CalendarDate::parse(kPrefFormat, "20080229 140509 +0000")) << "29 February of a leap year";
}

// What each way of making a date accepts: the calendar's own rules (month lengths,
// leap years of the Gregorian calendar, no leap second), the years 1601 to 9999 in
// the date's own zone, and zones of whole minutes within 23:59 of GMT.
TEST(CalendarDate, MakesEveryDateOfTheBoundsAndRefusesTheRest)
{
    // year, month, day, hour, minute, second, zone offset, whether they make a date
    const std::tuple<int, int, int, int, int, int, int, bool> cases[] = {
        {1601, 1, 1, 0, 0, 0, 0, true},          {1600, 12, 31, 23, 59, 59, 0, false},
        {9999, 12, 31, 23, 59, 59, 0, true},     {10000, 1, 1, 0, 0, 0, 0, false},
        {1601, 1, 1, 0, 30, 0, 3600, true},      {9999, 12, 31, 23, 0, 0, -3600, true},
        {2000, 2, 29, 12, 0, 0, 0, true},        {1900, 2, 29, 12, 0, 0, 0, false},
        {1700, 2, 29, 0, 0, 0, 0, false},        {1604, 2, 29, 0, 0, 0, 0, true},
        {2009, 4, 31, 0, 0, 0, 0, false},        {2009, 13, 1, 0, 0, 0, 0, false},
        {2009, 1, 1, -1, 0, 0, 0, false},        {2009, 1, 1, 0, 0, 0, 86340, true},
        {2009, 1, 1, 0, 0, 0, 86400, false},     {2009, 1, 1, 0, 0, 0, -86340, true},
        {2009, 1, 1, 0, 0, 0, 19830, false},     {65535, 65535, 65535, 65535, 65535, 65535, 0, false},
    };
    // The fields of every date made give it back (the dates fuzz target checks that);
    // here, which fields make a date at all.
    for (const auto& [year, month, day, hour, minute, second, offset, exists] : cases)
        EXPECT_EQ(CalendarDate::fromFields(year, month, day, hour, minute, second, offset).has_value(), exists)
            << year << "-" << month << "-" << day << " " << hour << ":" << minute << ":" << second << " " << offset;
}

// A zone that kept the local mean time of its city is seconds off a whole minute;
// such a date's offset is read to the nearest minute, which the text formats can
// write.
TEST(CalendarDate, LocalZoneToTheWholeMinute)
{
    // The offset is written to the minute and within +-23:59, but the wall clock is
    // the zone's own to the second: a log time stamp is never off by the remainder.
    for (const auto& [zone, offset] : {std::pair{"LMT-5:53:38", 21240}, {"LMT+0:44:20", -2640}, {"LMT+0:44:40", -2700},
                                       {"UTC0", 0}, {"XST-00:00:30", 60}, {"XST-24:30", 86340}, {"XST+24:30", -86340}}) {
        ::setenv("TZ", zone, 1);
        ::tzset();
        CalendarDate date = CalendarDate::inLocalZone(CalendarDate::Clock::from_time_t(kSat7Mar2009));
        EXPECT_EQ(date.gmtOffset(), offset) << zone;
        EXPECT_EQ(CalendarDate::parse(kPrefFormat, date.format(kPrefFormat)), date) << zone;
        time_t t = kSat7Mar2009;
        struct tm local {};
        localtime_r(&t, &local);
        char wall[32];
        std::strftime(wall, sizeof wall, "%Y-%m-%d %H:%M:%S", &local);
        EXPECT_EQ(date.format("%Y-%m-%d %H:%M:%S"), wall) << zone;
    }
    ::setenv("TZ", "Asia/Kolkata", 1); // as every test here starts
    ::tzset();
}

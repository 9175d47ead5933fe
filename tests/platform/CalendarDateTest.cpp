// Calendar dates and their text formats: English names and the given zone, whatever
// the machine's locale and local zone are.

#include "platform/CalendarDate.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <ctime>
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

TEST(CalendarDate, FormatsWithEnglishNamesInTheDatesOwnZone)
{
    const std::tuple<time_t, int, const char*, const char*> cases[] = {
        {kSat7Mar2009, 0, "%a, %d %b %Y %H:%M:%S %Z 100%%", "Sat, 07 Mar 2009 14:05:09 GMT 100%"},
        {kSat7Mar2009, 0, "%A %B|%e|%1d|%d|%1m|%m|%y|%j", "Saturday March|7|7|07|3|03|09|066"},
        {kSat7Mar2009, 19800, "%1m/%e/%y %H:%M:%S %z %Z", "3/7/09 19:35:09 +0530 +0530"},
        {kSat7Mar2009, -12600, "%Y%m%d %H%M%S %z", "20090307 103509 -0330"},
        // A zone's offset can move the calendar fields into the next year.
        {1262302200, 19800, "%a %Y-%m-%d %H:%M %j", "Fri 2010-01-01 05:00 001"},
        {951782400, 0, "%A %e %B %Y %j", "Tuesday 29 February 2000 060"},
        {-1, 0, "%Y-%m-%d %H:%M:%S %a", "1969-12-31 23:59:59 Wed"},
    };
    for (const auto& [seconds, offset, format, expected] : cases)
        EXPECT_EQ(CalendarDate::fromSeconds(seconds, offset).format(format), expected) << format;

    // 32 days apart, a year's dates step through every month and weekday.
    std::string all;
    for (int i = 0; i < 12; ++i)
        all += CalendarDate::fromSeconds(kSat7Mar2009 + i * 32 * 86400).format("%a %b,");
    EXPECT_EQ(all, "Sat Mar,Wed Apr,Sun May,Thu Jun,Mon Jul,Fri Aug,Tue Sep,Sat Oct,Wed Nov,Sun Dec,Thu Jan,Mon Feb,");
}

TEST(CalendarDate, ParseOfFormattedTextGivesTheSameMomentToTheSecond)
{
    const char* const format = "%Y%m%d %H%M%S %z";
    const std::pair<time_t, int> cases[] = {{kSat7Mar2009, 0},     {kSat7Mar2009, 19800}, {kSat7Mar2009, -12600},
                                            {kSat7Mar2009, 50400}, {1262302200, 19800},   {-86400 * 365, 3600}};
    for (const auto& [seconds, offset] : cases) {
        // Fractions of a second are lost on the way.
        std::string text = CalendarDate(CalendarDate::Clock::from_time_t(seconds) + 750ms, offset).format(format);
        EXPECT_EQ(CalendarDate::parse(format, text), CalendarDate::fromSeconds(seconds, offset)) << text;
    }
    for (const char* text : {"", "20090307 140509", "2009037 140509 +0000", "2009a307 140509 +0000",
                             "20090307 140509 +0000 ", "20090307 140509 0530", "20090307 140509 +0575",
                             "20091307 140509 +0000", "20090229 140509 +0000", "20090307 240509 +0000"})
        EXPECT_FALSE(CalendarDate::parse(format, text)) << '"' << text << '"';
    EXPECT_TRUE(CalendarDate::parse(format, "20080229 140509 +0000")) << "29 February of a leap year";
}

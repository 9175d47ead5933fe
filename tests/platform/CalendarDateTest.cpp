// Calendar dates and their text formats: English names and the given zone, whatever
// the machine's locale and local zone are.

#include "platform/CalendarDate.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

using platform::CalendarDate;
using namespace std::chrono_literals;

namespace {

// A time zone far from GMT with a half-hour offset, and a non-English locale where
// the machine has one, for the whole of one test.
class ForeignSettings {
public:
    ForeignSettings(const char* tz = "Asia/Kolkata")
    {
        if (const char* old = std::getenv("TZ"))
            oldTz_ = old;
        ::setenv("TZ", tz, 1);
        ::tzset();
        oldLocale_ = std::setlocale(LC_ALL, nullptr);
        for (const char* name : {"de_DE.UTF-8", "fr_FR.UTF-8", "ja_JP.UTF-8", "C.UTF-8"})
            if (std::setlocale(LC_ALL, name))
                break;
    }
    ~ForeignSettings()
    {
        if (oldTz_)
            ::setenv("TZ", oldTz_->c_str(), 1);
        else
            ::unsetenv("TZ");
        ::tzset();
        std::setlocale(LC_ALL, oldLocale_.c_str());
    }

private:
    std::optional<std::string> oldTz_;
    std::string oldLocale_;
};

constexpr time_t kSat7Mar2009 = 1236434709; // 2009-03-07 14:05:09 GMT

TEST(CalendarDate, FormatsWithEnglishNamesInTheDatesOwnZone)
{
    ForeignSettings foreign;
    struct Case {
        time_t seconds;
        int offset;
        const char* format;
        const char* expected;
    };
    const Case cases[] = {
        {kSat7Mar2009, 0, "%a, %d %b %Y %H:%M:%S GMT", "Sat, 07 Mar 2009 14:05:09 GMT"},
        {kSat7Mar2009, 0, "%A %B|%e|%1d|%d|%1m|%m|%y|%j", "Saturday March|7|7|07|3|03|09|066"},
        {kSat7Mar2009, 19800, "%1m/%e/%y %H:%M:%S", "3/7/09 19:35:09"},
        {kSat7Mar2009, -12600, "%Y%m%d %H%M%S %z", "20090307 103509 -0330"},
        {kSat7Mar2009, 19800, "%z %Z", "+0530 +0530"},
        {kSat7Mar2009, 0, "%z %Z", "+0000 GMT"},
        {kSat7Mar2009, 0, "100%% %q %1", "100% %q %1"},
        // A zone's offset can move the calendar fields into the next year.
        {1262302200, 19800, "%a %Y-%m-%d %H:%M %j", "Fri 2010-01-01 05:00 001"},
        {1262302200, 0, "%a %Y-%m-%d %H:%M %j", "Thu 2009-12-31 23:30 365"},
        {1262302200, -36000, "%1m/%e/%y %H:%M:%S", "12/31/09 13:30:00"},
        {1417392000, 0, "%a, %d %b %Y %H:%M:%S GMT", "Mon, 01 Dec 2014 00:00:00 GMT"},
        {951782400, 0, "%A %e %B %Y %j", "Tuesday 29 February 2000 060"},
        {-1, 0, "%Y-%m-%d %H:%M:%S %a", "1969-12-31 23:59:59 Wed"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(CalendarDate::fromSeconds(c.seconds, c.offset).format(c.format), c.expected)
            << c.format << " at " << c.seconds;

    // Every month and weekday name, from the first of each month of 2009.
    const char* const expected[] = {"Thu Thursday Jan January",   "Sun Sunday Feb February",  "Sun Sunday Mar March",
                                    "Wed Wednesday Apr April",    "Fri Friday May May",       "Mon Monday Jun June",
                                    "Wed Wednesday Jul July",     "Sat Saturday Aug August",  "Tue Tuesday Sep September",
                                    "Thu Thursday Oct October",   "Sun Sunday Nov November",  "Tue Tuesday Dec December"};
    for (int month = 1; month <= 12; ++month) {
        auto date = CalendarDate::fromFields(2009, month, 1, 12, 0, 0);
        ASSERT_TRUE(date);
        EXPECT_EQ(date->format("%a %A %b %B"), expected[month - 1]);
    }
}

TEST(CalendarDate, HTTPDateIsGMTWhateverTheLocalZone)
{
    ForeignSettings foreign("America/New_York");
    auto t = CalendarDate::Clock::from_time_t(kSat7Mar2009) + 999ms;
    EXPECT_EQ(platform::FormatHTTPDate(t), "Sat, 07 Mar 2009 14:05:09 GMT");
}

TEST(CalendarDate, LocalZoneOffsetFollowsTheMachinesZoneAtThatMoment)
{
    {
        ForeignSettings foreign("Asia/Kolkata");
        EXPECT_EQ(CalendarDate::now().gmtOffset(), 19800);
        EXPECT_EQ(CalendarDate::inLocalZone(CalendarDate::Clock::from_time_t(kSat7Mar2009)).format("%H:%M"),
                  "19:35");
    }
    {
        ForeignSettings foreign("America/New_York");
        auto winter = CalendarDate::inLocalZone(CalendarDate::Clock::from_time_t(kSat7Mar2009));
        auto summer = CalendarDate::inLocalZone(CalendarDate::Clock::from_time_t(kSat7Mar2009 + 180 * 86400));
        EXPECT_EQ(winter.gmtOffset(), -5 * 3600);
        EXPECT_EQ(summer.gmtOffset(), -4 * 3600);
        EXPECT_EQ(winter.format("%1m/%e/%y %H:%M:%S"), "3/7/09 09:05:09");
    }
}

TEST(CalendarDate, MomentsJustBefore1970BelongToTheEarlierSecond)
{
    auto t = CalendarDate::Clock::from_time_t(0) - 500ms;
    CalendarDate date(t, 0);
    EXPECT_EQ(date.seconds(), -1);
    EXPECT_EQ(date.format("%Y-%m-%d %H:%M:%S"), "1969-12-31 23:59:59");
}

TEST(CalendarDate, ParseOfFormattedTextGivesTheSameMomentToTheSecond)
{
    ForeignSettings foreign;
    const char* const format = "%Y%m%d %H%M%S %z";
    const struct {
        time_t seconds;
        int offset;
    } cases[] = {
        {kSat7Mar2009, 0},          {kSat7Mar2009, 19800},      {kSat7Mar2009, -12600}, {kSat7Mar2009, 14 * 3600},
        {kSat7Mar2009, -12 * 3600}, {1262302200, 19800},        {951782400, 0},         {0, 0},
        {-86400 * 365, 3600},       {4102444799, -5 * 3600},
    };
    for (const auto& c : cases) {
        // Fractions of a second are lost on the way.
        CalendarDate date(CalendarDate::Clock::from_time_t(c.seconds) + 750ms, c.offset);
        std::string text = date.format(format);
        auto parsed = CalendarDate::parse(format, text);
        ASSERT_TRUE(parsed) << text;
        EXPECT_EQ(parsed->seconds(), c.seconds) << text;
        EXPECT_EQ(parsed->gmtOffset(), c.offset) << text;
        EXPECT_EQ(parsed->format(format), text);
    }

    // Without a zone field the text is read as GMT; the log's own stamp parses too.
    auto stamp = CalendarDate::parse("%1m/%e/%y %H:%M:%S", "3/7/09 14:05:09");
    ASSERT_TRUE(stamp);
    EXPECT_EQ(stamp->seconds(), kSat7Mar2009);
    EXPECT_EQ(stamp->gmtOffset(), 0);
}

TEST(CalendarDate, MalformedTextsDoNotParse)
{
    const char* const format = "%Y%m%d %H%M%S %z";
    const char* const texts[] = {
        "",
        "20090307 140509",        // no zone
        "20090307 140509 ",       // empty zone
        "2009037 140509 +0000",   // short date
        "20090307 14059 +0000",   // short time
        "200903071 40509 +0000",  // digits in the wrong place
        "2009a307 140509 +0000",  // not a digit
        "20090307x140509 +0000",  // wrong separator
        " 20090307 140509 +0000", // leading blank
        "20090307 140509 +0000 ", // trailing blank
        "20090307 140509 +00000", // trailing digit
        "20090307 140509 0530",   // zone without a sign
        "20090307 140509 +05:30", // zone with a colon
        "20090307 140509 +053",   // short zone
        "20090307 140509 +0575",  // 75 minutes
        "20090307 140509 +2400",  // 24 hours
        "20091307 140509 +0000",  // month 13
        "20090007 140509 +0000",  // month 0
        "20090300 140509 +0000",  // day 0
        "20090230 140509 +0000",  // 30 February
        "20090229 140509 +0000",  // 29 February of a common year
        "20090431 140509 +0000",  // 31 April
        "20090307 240509 +0000",  // hour 24
        "20090307 146009 +0000",  // minute 60
        "20090307 140561 +0000",  // second 61
    };
    for (const char* text : texts)
        EXPECT_FALSE(CalendarDate::parse(format, text)) << '"' << text << '"';
    EXPECT_TRUE(CalendarDate::parse(format, "20080229 140509 +0000")) << "29 February of a leap year";
}

TEST(CalendarDate, FieldsOutOfRangeGiveNothing)
{
    struct Case {
        int year, month, day, hour, minute, second;
        bool valid;
    };
    const Case cases[] = {
        {2009, 3, 7, 14, 5, 9, true},    {2009, 2, 28, 23, 59, 59, true}, {2008, 2, 29, 0, 0, 0, true},
        {2009, 12, 31, 23, 59, 60, true}, {2009, 2, 29, 0, 0, 0, false},  {2009, 4, 31, 0, 0, 0, false},
        {2009, 0, 1, 0, 0, 0, false},    {2009, 13, 1, 0, 0, 0, false},   {2009, 1, 0, 0, 0, 0, false},
        {2009, 1, 32, 0, 0, 0, false},   {2009, 1, 1, 24, 0, 0, false},   {2009, 1, 1, 0, 60, 0, false},
        {2009, 1, 1, 0, 0, 61, false},   {2009, 1, 1, -1, 0, 0, false},
    };
    for (const auto& c : cases) {
        auto date = CalendarDate::fromFields(c.year, c.month, c.day, c.hour, c.minute, c.second);
        EXPECT_EQ(date.has_value(), c.valid) << c.year << "-" << c.month << "-" << c.day << " " << c.hour << ":"
                                             << c.minute << ":" << c.second;
    }
    // The fields are read in the zone given: 19:35 in Kolkata is 14:05 GMT.
    auto kolkata = CalendarDate::fromFields(2009, 3, 7, 19, 35, 9, 19800);
    ASSERT_TRUE(kolkata);
    EXPECT_EQ(kolkata->seconds(), kSat7Mar2009);
    EXPECT_EQ(kolkata->fields().tm_hour, 19);
    EXPECT_EQ(kolkata->fields().tm_wday, 6);
}

} // namespace

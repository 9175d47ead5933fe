// The date formats and the device clock's fields. One input is read as each of:
//   text in the preference date format, and in a format of one-digit fields: what
//     parses is a date whose own writing parses back as the same date (and, in the
//     preference format, is the same text but for the sign of a zero zone);
//   seconds, zone and fraction (bytes 0-7, 8-11, 12-15, little-endian): a date is
//     made exactly when its fields in that zone fall in the years 1601 to 9999, and
//     then its fields, its texts and its host-clock moment all give it back;
//   a SYSTEMTIME block (bytes 0-15) as the device clock's reply: a date taken from
//     it is refused by no one, the emulated device included, when set again.

#include "FuzzSupport.h"

#include "extras/DeviceLibraryExtras.h"
#include "prefs/PrefTypedValues.h"

#include <cstring>

using platform::CalendarDate;

namespace {

constexpr const char* kShortFormat = "%1m/%1d/%y %H:%M:%S";

template <typename T>
T Read(const uint8_t* at)
{
    T value;
    std::memcpy(&value, at, sizeof value); // little-endian host
    return value;
}

void CheckText(const std::string& text)
{
    if (auto date = CalendarDate::parse(kCalendarFormat, text)) {
        std::string written = date->format(kCalendarFormat);
        FUZZ_CHECK(CalendarDate::parse(kCalendarFormat, written) == date);
        std::string zeroZone = text.size() >= 5 ? text.substr(text.size() - 5) : "";
        FUZZ_CHECK(written == text || (zeroZone == "-0000" && written == text.substr(0, text.size() - 5) + "+0000"));
    }
    if (auto date = CalendarDate::parse(kShortFormat, text))
        FUZZ_CHECK(CalendarDate::parse(kShortFormat, date->format(kShortFormat)) == date);
}

void CheckSeconds(int64_t seconds, int32_t offset, int32_t nanoseconds)
{
    auto date = CalendarDate::fromSeconds(seconds, offset, nanoseconds);
    const bool zoneWritable = offset % 60 == 0 && offset >= -CalendarDate::kMaxGMTOffset &&
                              offset <= CalendarDate::kMaxGMTOffset;
    if (!zoneWritable || nanoseconds < 0 || nanoseconds > 999999999) {
        FUZZ_CHECK(!date);
        return;
    }
    // Whether the year is one a date can have is the C library's word, asked apart.
    struct tm t {};
    const bool near = seconds > -(int64_t(1) << 50) && seconds < (int64_t(1) << 50);
    const time_t local = near ? static_cast<time_t>(seconds + offset) : 0;
    const bool inYears = near && gmtime_r(&local, &t) && t.tm_year + 1900 >= CalendarDate::kFirstYear &&
                         t.tm_year + 1900 <= CalendarDate::kLastYear;
    FUZZ_CHECK(date.has_value() == inYears);
    if (!date)
        return;

    struct tm f = date->fields();
    FUZZ_CHECK(std::memcmp(&f, &t, offsetof(struct tm, tm_isdst)) == 0);
    auto whole = CalendarDate::fromSeconds(seconds, offset);
    FUZZ_CHECK(CalendarDate::fromFields(f.tm_year + 1900, f.tm_mon + 1, f.tm_mday, f.tm_hour, f.tm_min, f.tm_sec,
                                        offset) == whole);
    FUZZ_CHECK(CalendarDate::parse(kCalendarFormat, date->format(kCalendarFormat)) == whole);
    if (auto moment = date->time())
        FUZZ_CHECK(CalendarDate::at(*moment, offset) == date);
}

void CheckSystemTime(const uint8_t* block)
{
    static fuzzsupport::DeviceSession session = fuzzsupport::OpenScratchDevice();
    session.device->replaceInvokeReply("PXCeGetSystemTime", 0, std::vector<uint8_t>(block, block + 16), 1);
    CalendarDate date;
    if (GetSystemTime(*session.rapi, date) != 0)
        return;
    FUZZ_CHECK(SetSystemTime(*session.rapi, date) == 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    CheckText(std::string(reinterpret_cast<const char*>(data), size));
    if (size >= 16) {
        CheckSeconds(Read<int64_t>(data), Read<int32_t>(data + 8), Read<int32_t>(data + 12));
        CheckSystemTime(data);
    }
    return 0;
}

// The calls into the device-side library against the emulated device: each input
// block byte for byte, the reply-size rules of each call, and that every reply
// block the session hands out goes back to it.

#include "ExtrasFixture.h"
#include "extras/DeviceLibraryExtras.h"

#include <gtest/gtest.h>

#include <functional>
#include <random>

using namespace extrastest;
using platform::CalendarDate;

static constexpr int32_t kEFail = static_cast<int32_t>(0x80004005);
static constexpr int32_t kFailed = ERROR_GEN_FAILURE;

// A reply of `size` bytes that begins with `text`.
static Bytes Reply(std::string text, size_t size)
{
    text.resize(size, '\0');
    return Bytes(text.begin(), text.end());
}

TEST(DeviceLibraryExtras, InputBlocksByteForByte)
{
    const CalendarDate east = *CalendarDate::fromFields(2026, 12, 31, 23, 30, 0, 7200); // Thursday, 21:30 GMT
    const std::tuple<const char*, std::function<int32_t(Rapi&)>, Bytes> cases[] = {
        // Three characters: six bytes of units and the zero unit.
        {"PXCeWMPAddToLibary", [](Rapi& r) { return wmpLibraryAddFiles(r, "a\xC3\xA9z"); }, LE16({'a', 0xE9, 'z', 0})},
        // The format 3, the path length 4, "A" and its zero unit, then the 5 data bytes.
        {"PXCeConvertToFile", [](Rapi& r) { return ConvertToFile(r, {0xD1, 0xD2, 0xD3, 0xD4, 0xD5}, 3, "A"); },
         {3, 0, 0, 0, 4, 0, 0, 0, 'A', 0, 0, 0, 0xD1, 0xD2, 0xD3, 0xD4, 0xD5}},
        {"PXCeConvertFromFile", [](Rapi& r) { std::optional<Bytes> o; return ConvertFromFile(r, "\\d", 0x0102, o); },
         {2, 1, 0, 0, '\\', 0, 'd', 0, 0, 0}},
        // The calendar fields in the date's own zone, the weekday, no milliseconds.
        {"PXCeSetSystemTime", [&](Rapi& r) { return SetSystemTime(r, east); }, LE16({2026, 12, 4, 31, 23, 30, 0, 0})},
        {"PXResetLoggingState", [](Rapi& r) { return resetLogging(r, -2); }, {0xFE, 0xFF, 0xFF, 0xFF}},
        {"PXCeGetExitCodeProcess", [](Rapi& r) { uint32_t exit = 0; return GetExitCodeProcess(r, 1234, exit); },
         {0xD2, 0x04, 0, 0}},
    };
    for (const auto& [function, call, block] : cases) {
        SCOPED_TRACE(function);
        DeviceSession s;
        s.device->replaceInvokeReply(function, 0, std::nullopt);
        EXPECT_EQ(call(s.rapi), 0);
        EXPECT_EQ(s.device->invocations, (std::vector{std::make_pair("pavrix:" + std::string(function), block)}));
    }
}

// Each call that takes a reply: what it left in its out parameter, as text (a buffer
// filled with 0xAA beforehand shows which bytes were written).
static const std::map<std::string, std::function<std::string(Rapi&, int32_t&)>> kCalls = {
    {"PXCeHasRichInk", [](Rapi& r, int32_t& code) { int v = -5; code = HasRichInk(r, v); return std::to_string(v); }},
    {"PXCeConvertFromFile", [](Rapi& r, int32_t& code) {
         std::optional<Bytes> out = Bytes{0xAA};
         code = ConvertFromFile(r, "\\a", 2, out);
         return out ? std::string(out->begin(), out->end()) : "none";
     }},
    {"PXCeGetSystemTime", [](Rapi& r, int32_t& code) {
         CalendarDate date = CalendarDate::fromSeconds(0, 3600).value();
         code = GetSystemTime(r, date);
         return date.format("%Y-%m-%d %H:%M:%S %z");
     }},
    {"PXCeGetExitCodeProcess", [](Rapi& r, int32_t& code) {
         uint32_t exitCode = 77;
         code = GetExitCodeProcess(r, 1, exitCode);
         return std::to_string(exitCode) + (r.readPacketLogging() ? " with logging left on" : "");
     }},
    {"GetDLLVersion", [](Rapi& r, int32_t& code) {
         std::string out(sizeof(PAVRIX_DLL_VERSION) + 12, '\xAA'); // and a guard behind the record
         code = GetPavrixDLLVersion(r, *reinterpret_cast<PAVRIX_DLL_VERSION*>(out.data()));
         return out;
     }},
};

TEST(DeviceLibraryExtras, ReplySizeRulesAndEveryReplyBlockGoesBack)
{
    const std::string untouchedDate = "1970-01-01 01:00:00 +0100", untouchedVersion(64, '\xAA'), zero(1, '\0');
    struct Case {
        const char* function;
        int32_t result;
        std::optional<Bytes> reply;
        int32_t code;
        std::string written;
        const char* deviceClass = "SmartPhone";
    };
    const Case cases[] = {
        {"PXCeHasRichInk", 0, Bytes{7, 0, 0, 0}, 0, "7"},
        {"PXCeHasRichInk", 0, Bytes(8, 1), 0, "0"}, // guessed from the device class
        {"PXCeHasRichInk", kFailed, Bytes{7, 0, 0, 0}, kFailed, "1", "PocketPC"},
        {"PXCeConvertFromFile", 0, Bytes{'d', 0, 't'}, 0, "d" + zero + "t"},
        {"PXCeConvertFromFile", 0, std::nullopt, 0, ""},
        {"PXCeConvertFromFile", 5, Bytes{1, 2}, 5, "\xAA"},
        {"PXCeGetSystemTime", 0, LE16({2026, 3, 6, 1, 13, 5, 9, 999}), 0, "2026-03-01 13:05:09 +0000"},
        {"PXCeGetSystemTime", 0, Reply("", 15), 0, untouchedDate},
        {"PXCeGetSystemTime", kFailed, LE16({2026, 3, 6, 1, 13, 5, 9, 0}), kFailed, untouchedDate},
        {"PXCeGetSystemTime", 0, LE16({1601, 3, 9, 1, 13, 5, 9, 0}), 0, "1601-03-01 13:05:09 +0000"},
        {"PXCeGetSystemTime", 0, LE16({9999, 12, 5, 31, 23, 59, 59, 0}), 0, "9999-12-31 23:59:59 +0000"},
        // A time that does not exist fails the call and leaves the date alone (which
        // field values exist is the calendar's own rule, checked with the dates).
        {"PXCeGetSystemTime", 0, LE16({2026, 2, 0, 30, 0, 0, 0, 0}), kEFail, untouchedDate},
        {"PXCeGetSystemTime", 0, LE16({1600, 12, 0, 31, 23, 59, 59, 0}), kEFail, untouchedDate},
        {"PXCeGetSystemTime", 0, Bytes(16, 0xFF), kEFail, untouchedDate},
        {"PXCeGetExitCodeProcess", 0, Bytes{'x', 'i', 't', '!'}, 0, "561277304"},
        {"PXCeGetExitCodeProcess", 0, Bytes(8, 1), 0, "77"},
        {"PXCeGetExitCodeProcess", kFailed, Bytes{1, 0, 0, 0}, kFailed, "77"},
        // The text is copied up to its zero byte and never beyond its 40 bytes.
        {"GetDLLVersion", 0, Reply("1111222233332.5", 52), 0, "1111222233332.5" + zero + std::string(48, '\xAA')},
        {"GetDLLVersion", 0, Reply("111122223333" + std::string(40, 'v'), 52), 0,
         "111122223333" + std::string(40, 'v') + std::string(12, '\xAA')},
        {"GetDLLVersion", 0, Reply("", 48), kEFail, untouchedVersion},
        {"GetDLLVersion", kFailed, std::nullopt, kEFail, untouchedVersion},
        {"GetDLLVersion", kFailed, Reply("", 52), kFailed, untouchedVersion},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.function << ", case " << &c - cases);
        DeviceSession s(c.deviceClass);
        s.device->replaceInvokeReply(c.function, c.result, c.reply);
        int32_t code = -1;
        EXPECT_EQ(kCalls.at(c.function)(s.rapi, code), c.written);
        EXPECT_EQ(code, c.code);
        EXPECT_EQ(s.device->replyBlocksHandedOut(), c.reply ? 1 : 0);
        EXPECT_EQ(s.device->outstandingReplyBlocks(), 0);
    }
}

// Property: the block SetSystemTime sends for any GMT date of the calendar, given
// back by the device clock, reads as that same date: no year is cut or wrapped.
TEST(DeviceLibraryExtras, DeviceClockRoundTripsEveryDateToTheSecond)
{
    DeviceSession s;
    std::mt19937_64 random(16010301);
    std::uniform_int_distribution<int64_t> seconds(-11644473600, 253402300799); // 1601 to 9999
    for (int i = 0; i < 300; ++i) {
        const CalendarDate date = CalendarDate::fromSeconds(seconds(random)).value();
        SCOPED_TRACE(date.format("%Y-%m-%d %H:%M:%S"));
        s.device->invocations.clear();
        s.device->replaceInvokeReply("PXCeSetSystemTime", 0, std::nullopt, 1);
        ASSERT_EQ(SetSystemTime(s.rapi, date), 0);
        ASSERT_EQ(s.device->invocations.size(), 1u);
        const Bytes block = s.device->invocations[0].second;
        ASSERT_EQ(block.size(), 16u);
        EXPECT_EQ(block[4], date.fields().tm_wday);

        s.device->replaceInvokeReply("PXCeGetSystemTime", 0, block, 1);
        CalendarDate read;
        ASSERT_EQ(GetSystemTime(s.rapi, read), 0);
        EXPECT_EQ(read, date);
    }
    EXPECT_EQ(s.device->outstandingReplyBlocks(), 0);
}

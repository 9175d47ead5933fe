// The calls into the device-side library against the emulated device: each input
// block byte for byte, and the reply rules that depend on more than the reply.

#include "ExtrasFixture.h"
#include "extras/DeviceLibraryExtras.h"

#include <gtest/gtest.h>

#include <functional>

using namespace extrastest;
using platform::CalendarDate;

// A reply of `size` bytes that begins with `text`.
static Bytes Reply(std::string text, size_t size)
{
    text.resize(size, '\0');
    return Bytes(text.begin(), text.end());
}

TEST(DeviceLibraryExtras, InputBlocksByteForByte)
{
    const CalendarDate east = *CalendarDate::fromFields(2026, 12, 31, 23, 30, 0, 7200); // Thursday, 21:30 GMT
    // The calendar's ends: a Monday and a Friday, no year cut or wrapped.
    const CalendarDate first = *CalendarDate::fromFields(1601, 1, 1, 0, 0, 0, 0);
    const CalendarDate last = *CalendarDate::fromFields(9999, 12, 31, 23, 59, 59, 0);
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
        {"PXCeSetSystemTime", [&](Rapi& r) { return SetSystemTime(r, first); }, LE16({1601, 1, 1, 1, 0, 0, 0, 0})},
        {"PXCeSetSystemTime", [&](Rapi& r) { return SetSystemTime(r, last); }, LE16({9999, 12, 5, 31, 23, 59, 59, 0})},
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

// The reply rules the fuzzed reply blocks cannot show: a smartphone's ink guessed
// from its class, and the version text copied up to its zero byte and never beyond
// its 40 bytes (a buffer filled with 0xAA beforehand shows which bytes were written).
TEST(DeviceLibraryExtras, InkGuessedFromTheClassAndVersionTextBounded)
{
    DeviceSession phone("SmartPhone");
    phone.device->replaceInvokeReply("PXCeHasRichInk", 0, Bytes(8, 1));
    int ink = -5;
    EXPECT_EQ(HasRichInk(phone.rapi, ink), 0);
    EXPECT_EQ(ink, 0);

    const std::string zero(1, '\0'), text40 = "111122223333" + std::string(40, 'v');
    const std::pair<std::string, std::string> cases[] = {
        {"1111222233332.5", "1111222233332.5" + zero + std::string(48, '\xAA')},
        {text40, text40 + std::string(12, '\xAA')},
    };
    for (const auto& [reply, written] : cases) {
        DeviceSession s;
        s.device->replaceInvokeReply("GetDLLVersion", 0, Reply(reply, 52));
        std::string out(sizeof(PAVRIX_DLL_VERSION) + 12, '\xAA'); // and a guard behind the record
        EXPECT_EQ(GetPavrixDLLVersion(s.rapi, *reinterpret_cast<PAVRIX_DLL_VERSION*>(out.data())), 0);
        EXPECT_EQ(out, written);
        EXPECT_EQ(s.device->outstandingReplyBlocks(), 0);
    }
}

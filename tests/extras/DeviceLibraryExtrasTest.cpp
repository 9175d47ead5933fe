// The calls into the device-side library against the emulated device: the input
// blocks byte for byte, the reply-size rules of each call, the result codes made
// here, and that every reply block handed out comes back to the session.

#include "ExtrasFixture.h"
#include "extras/DeviceLibraryExtras.h"

#include <gtest/gtest.h>

#include <cstring>
#include <ctime>

using namespace extrastest;
using platform::CalendarDate;
using platform::PlistObject;
using Call = FaultInjectingDevice::Call;

namespace {

constexpr int32_t kEFail = static_cast<int32_t>(0x80004005);

// The one invocation a call made: of which function, with which block, and
// whether it asked for a reply.
void ExpectInvocation(const ObservedDevice& device, const std::string& function, const Bytes& input, bool replyAsked)
{
    ASSERT_EQ(device.invocations.size(), 1u);
    const auto& call = device.invocations.front();
    EXPECT_EQ(call.dll, "pavrix");
    EXPECT_EQ(call.function, function);
    EXPECT_EQ(call.input, input);
    EXPECT_EQ(call.replyAsked, replyAsked);
}

// Every reply block the device handed out has come back.
void ExpectBlocksReturned(const ObservedDevice& device)
{
    EXPECT_EQ(device.outstandingReplyBlocks(), 0);
    EXPECT_EQ(device.replyBlocksHandedOut(), device.replyBlocksFreed());
}

Bytes Utf16(const std::u16string& text)
{
    Bytes out;
    for (char16_t unit : text) {
        out.push_back(uint8_t(unit));
        out.push_back(uint8_t(unit >> 8));
    }
    return out;
}

Bytes SystemTime(std::initializer_list<uint16_t> fields)
{
    Bytes block;
    for (uint16_t field : fields) {
        block.push_back(uint8_t(field));
        block.push_back(uint8_t(field >> 8));
    }
    return block;
}

std::vector<std::string> MediaLibrary(const DeviceFolder& folder)
{
    std::vector<std::string> out;
    auto library = PlistObject::loadDictionary(folder / "library.plist");
    auto media = library ? library->get("MediaLibrary") : std::nullopt;
    if (!media)
        return out;
    for (uint32_t i = 0; i < plist_array_get_size(media->node()); ++i)
        out.push_back(PlistObject(plist_copy(plist_array_get_item(media->node(), i))).asString().value_or("?"));
    return out;
}

TEST(HasRichInk, TakesAFourByteAnswerElseGuessesFromTheDeviceClass)
{
    struct Case {
        const char* what;
        const char* deviceClass; // of the first listed device
        bool replace;
        int32_t result;
        std::optional<Bytes> reply;
        int32_t expectedValue;
    };
    const Case cases[] = {
        {"the device's own answer", "PocketPC", false, 0, std::nullopt, 1},
        {"a 4-byte answer is taken as it is", "SmartPhone", true, 0, LE32(7), 7},
        {"8 bytes: guessed, not a smartphone", "PocketPC", true, 0, Bytes(8, 0), 1},
        {"8 bytes: guessed, a smartphone", "SmartPhone", true, 0, Bytes(8, 1), 0},
        {"3 bytes", "PocketPC", true, 0, Bytes{5, 0, 0}, 1},
        {"no reply block", "SmartPhone", true, 0, std::nullopt, 0},
        {"failed with 4 bytes", "PocketPC", true, int32_t(ERROR_GEN_FAILURE), LE32(0), 1},
        {"failed with 4 bytes, smartphone", "SmartPhone", true, int32_t(ERROR_GEN_FAILURE), LE32(1), 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        DeviceFolder folder;
        folder.setDeviceClass(c.deviceClass);
        ScopedEnv listed("PAVRIX_DEVICE", folder.path());
        ObservedSession session(folder);
        if (c.replace)
            session.device->replaceInvokeReply("PXCeHasRichInk", c.result, c.reply);

        int32_t value = -5;
        EXPECT_EQ(HasRichInk(session.rapi, value), c.result);
        EXPECT_EQ(value, c.expectedValue);
        ExpectInvocation(*session.device, "PXCeHasRichInk", {}, true);
        ExpectBlocksReturned(*session.device);
    }
}

TEST(MediaLibrary, AddFilesSendsTheTextAsDeviceText)
{
    struct Case {
        std::string text;
        Bytes block;
    };
    const Case cases[] = {
        {"abc", {0x61, 0x00, 0x62, 0x00, 0x63, 0x00, 0x00, 0x00}},
        {"a\xC3\xA9z", {0x61, 0x00, 0xE9, 0x00, 0x7A, 0x00, 0x00, 0x00}},
        {"\xF0\x9F\x98\x80", {0x3D, 0xD8, 0x00, 0xDE, 0x00, 0x00}},
        {"\\Storage Card\\Music\\a.mp3", Concat({Utf16(u"\\Storage Card\\Music\\a.mp3"), Bytes{0, 0}})},
    };
    DeviceFolder folder;
    ObservedSession session(folder);
    std::vector<std::string> added;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        session.device->forget();
        EXPECT_EQ(wmpLibraryAddFiles(session.rapi, c.text), 0);
        ExpectInvocation(*session.device, "PXCeWMPAddToLibary", c.block, false);
        added.push_back(c.text);
    }
    EXPECT_EQ(MediaLibrary(folder), added);

    session.device->forget();
    EXPECT_EQ(wmpLibraryClean(session.rapi), 0);
    ExpectInvocation(*session.device, "PXCeWMPCleanLibary", {}, false);
    EXPECT_TRUE(MediaLibrary(folder).empty());
    ExpectBlocksReturned(*session.device);
}

TEST(MediaLibrary, NothingIsSentForAnEmptyTextOrWithoutADevice)
{
    DeviceFolder folder;
    ObservedSession session(folder);
    EXPECT_EQ(wmpLibraryAddFiles(session.rapi, ""), 0);
    EXPECT_TRUE(session.device->invocations.empty());

    Rapi unattached(nullptr);
    unattached.setTracePath(std::nullopt);
    EXPECT_EQ(wmpLibraryAddFiles(unattached, "song.mp3"), 0);
    EXPECT_EQ(wmpLibraryClean(unattached), 0);

    // The device's own failure is passed on unchanged.
    session.device->failCall(Call::RapiInvoke, ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(wmpLibraryAddFiles(session.rapi, "x"), int32_t(ERROR_DEVICE_NOT_CONNECTED));
    EXPECT_EQ(wmpLibraryClean(session.rapi), int32_t(ERROR_DEVICE_NOT_CONNECTED));
    session.device->clearFaults();
    session.device->replaceInvokeReply("PXCeWMPCleanLibary", 1234, std::nullopt);
    EXPECT_EQ(wmpLibraryClean(session.rapi), 1234);
}

TEST(ConvertFromFile, SendsFormatAndPathAndCopiesTheReply)
{
    DeviceFolder folder;
    testsupport::WriteFile(folder.fs("doc.txt"), "hello");
    testsupport::WriteFile(folder.fs("empty.txt"), "");
    ObservedSession session(folder);

    std::optional<Bytes> results;
    EXPECT_EQ(ConvertFromFile(session.rapi, "\\doc.txt", 0x01020304, results), 0);
    // n + 6 bytes: the format, the path's units, the zero unit.
    Bytes block = Concat({Bytes{0x04, 0x03, 0x02, 0x01}, Utf16(u"\\doc.txt"), Bytes{0, 0}});
    ASSERT_EQ(block.size(), 2u * 8 + 6);
    ExpectInvocation(*session.device, "PXCeConvertFromFile", block, true);
    EXPECT_EQ(results, BytesOf("hello"));

    results.reset();
    EXPECT_EQ(ConvertFromFile(session.rapi, "\\empty.txt", 1, results), 0);
    EXPECT_EQ(results, Bytes{});

    // A failure leaves the caller's data as it was.
    results = Bytes{9};
    EXPECT_NE(ConvertFromFile(session.rapi, "\\missing.txt", 1, results), 0);
    EXPECT_EQ(results, Bytes{9});
    ExpectBlocksReturned(*session.device);
}

TEST(ConvertFromFile, ReplyRules)
{
    struct Case {
        const char* what;
        int32_t result;
        std::optional<Bytes> reply;
        std::optional<Bytes> expected; // what `results` holds afterwards
    };
    const Case cases[] = {
        {"success without a block gives empty data", 0, std::nullopt, Bytes{}},
        {"success with an empty block", 0, Bytes{}, Bytes{}},
        {"success with bytes", 0, Bytes{0, 1, 2, 0xFF}, Bytes{0, 1, 2, 0xFF}},
        {"failure with a block: untouched, block returned", 5, Bytes{1, 2}, Bytes{0xEE}},
        {"failure without a block", -1, std::nullopt, Bytes{0xEE}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        DeviceFolder folder;
        ObservedSession session(folder);
        session.device->replaceInvokeReply("PXCeConvertFromFile", c.result, c.reply);
        std::optional<Bytes> results = Bytes{0xEE};
        EXPECT_EQ(ConvertFromFile(session.rapi, "\\a", 2, results), c.result);
        EXPECT_EQ(results, c.expected);
        ExpectBlocksReturned(*session.device);
    }
}

TEST(ConvertToFile, BlockLayout)
{
    struct Case {
        std::string path;
        uint32_t format;
        Bytes data;
        Bytes block;
    };
    const Case cases[] = {
        // 17 bytes: format 3, path length 4, "A" and its zero unit, the 5 data bytes.
        {"A", 3, {0xD1, 0xD2, 0xD3, 0xD4, 0xD5},
         {0x03, 0, 0, 0, 0x04, 0, 0, 0, 0x41, 0, 0, 0, 0xD1, 0xD2, 0xD3, 0xD4, 0xD5}},
        {"A", 0xFFFFFFFF, {}, {0xFF, 0xFF, 0xFF, 0xFF, 0x04, 0, 0, 0, 0x41, 0, 0, 0}},
        {"\\n\xC3\xA9", 0x00010002, {0, 0},
         {0x02, 0, 0x01, 0, 0x08, 0, 0, 0, 0x5C, 0, 0x6E, 0, 0xE9, 0, 0, 0, 0, 0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        DeviceFolder folder;
        ObservedSession session(folder);
        session.device->replaceInvokeReply("PXCeConvertToFile", 0, std::nullopt);
        EXPECT_EQ(ConvertToFile(session.rapi, c.data, c.format, c.path), 0);
        ExpectInvocation(*session.device, "PXCeConvertToFile", c.block, false);
    }
}

TEST(ConvertToFile, TheDeviceWritesTheDataAndItsCodeComesBack)
{
    DeviceFolder folder;
    ObservedSession session(folder);
    Bytes data{'d', 'a', 't', 'a', 0, 0xFF};
    EXPECT_EQ(ConvertToFile(session.rapi, data, 7, "\\out.bin"), 0);
    EXPECT_EQ(testsupport::ReadFile(folder.fs("out.bin")), std::string("data\0\xFF", 6));

    int32_t missingFolder = ConvertToFile(session.rapi, data, 7, "\\nowhere\\out.bin");
    EXPECT_NE(missingFolder, 0);
    EXPECT_FALSE(testsupport::PathExists(folder.fs("nowhere")));
    ExpectBlocksReturned(*session.device);
}

TEST(SystemTime, GetReadsTheReplyAsGMTIgnoringWeekdayAndMilliseconds)
{
    DeviceFolder folder;
    ObservedSession session(folder);
    // 1 March 2026, 13:05:09, with a wrong weekday and milliseconds present.
    session.device->replaceInvokeReply("PXCeGetSystemTime", 0, SystemTime({2026, 3, 6, 1, 13, 5, 9, 999}));
    CalendarDate date = CalendarDate::fromSeconds(12345, 3600);
    EXPECT_EQ(GetSystemTime(session.rapi, date), 0);
    ExpectInvocation(*session.device, "PXCeGetSystemTime", {}, true);
    EXPECT_EQ(date, *CalendarDate::fromFields(2026, 3, 1, 13, 5, 9, 0));
    EXPECT_EQ(date.gmtOffset(), 0);
    EXPECT_EQ(date.format("%Y-%m-%d %H:%M:%S"), "2026-03-01 13:05:09");
    ExpectBlocksReturned(*session.device);
}

TEST(SystemTime, GetLeavesTheDateUnlessGivenExactlySixteenBytes)
{
    struct Case {
        const char* what;
        int32_t result;
        std::optional<Bytes> reply;
    };
    Bytes good = SystemTime({2026, 3, 0, 1, 13, 5, 9, 0});
    const Case cases[] = {
        {"15 bytes", 0, Bytes(good.begin(), good.end() - 1)},
        {"17 bytes", 0, Concat({good, Bytes{0}})},
        {"no block", 0, std::nullopt},
        {"failure with 16 bytes", int32_t(ERROR_GEN_FAILURE), good},
    };
    const CalendarDate before = CalendarDate::fromSeconds(12345, 3600);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        DeviceFolder folder;
        ObservedSession session(folder);
        session.device->replaceInvokeReply("PXCeGetSystemTime", c.result, c.reply);
        CalendarDate date = before;
        EXPECT_EQ(GetSystemTime(session.rapi, date), c.result);
        EXPECT_EQ(date, before);
        ExpectBlocksReturned(*session.device);
    }
}

TEST(SystemTime, SetSendsTheCalendarFieldsOfTheDatesOwnZone)
{
    struct Case {
        const char* what;
        CalendarDate date;
        Bytes block;
    };
    // 23:30 on Thursday 31 December 2026 at GMT+2 is 21:30 GMT; the device gets 23:30.
    CalendarDate eastern = *CalendarDate::fromFields(2026, 12, 31, 23, 30, 0, 7200);
    CalendarDate gmt = *CalendarDate::fromFields(2026, 3, 1, 13, 5, 9, 0);
    CalendarDate withMilliseconds(gmt.time() + std::chrono::milliseconds(750), 0);
    CalendarDate lastCentury = *CalendarDate::fromFields(1999, 12, 31, 23, 59, 59, -18000);
    const Case cases[] = {
        {"a zone east of GMT", eastern, SystemTime({2026, 12, 4, 31, 23, 30, 0, 0})},
        {"GMT, a Sunday", gmt, SystemTime({2026, 3, 0, 1, 13, 5, 9, 0})},
        {"milliseconds are not sent", withMilliseconds, SystemTime({2026, 3, 0, 1, 13, 5, 9, 0})},
        {"a zone west of GMT, a Friday", lastCentury, SystemTime({1999, 12, 5, 31, 23, 59, 59, 0})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        DeviceFolder folder;
        ObservedSession session(folder);
        session.device->replaceInvokeReply("PXCeSetSystemTime", 0, std::nullopt);
        EXPECT_EQ(SetSystemTime(session.rapi, c.date), 0);
        ExpectInvocation(*session.device, "PXCeSetSystemTime", c.block, false);
    }
}

TEST(SystemTime, AGMTDateSetIsTheDateReadBack)
{
    DeviceFolder folder;
    ObservedSession session(folder);
    CalendarDate set = *CalendarDate::fromFields(2031, 7, 4, 10, 20, 30, 0);
    ASSERT_EQ(SetSystemTime(session.rapi, set), 0);
    CalendarDate read;
    ASSERT_EQ(GetSystemTime(session.rapi, read), 0);
    EXPECT_EQ(read.gmtOffset(), 0);
    // The device clock runs on from where it was set (the device keeps its distance
    // from the host clock to the millisecond, so a read may land a second short).
    EXPECT_GE(read.seconds(), set.seconds() - 1);
    EXPECT_LE(read.seconds(), set.seconds() + 5);

    // The device's refusal comes back as its code.
    session.device->replaceInvokeReply("PXCeSetSystemTime", int32_t(ERROR_INVALID_PARAMETER), std::nullopt, 1);
    EXPECT_EQ(SetSystemTime(session.rapi, *CalendarDate::fromFields(1999, 1, 1, 0, 0, 0, 0)),
              int32_t(ERROR_INVALID_PARAMETER));
}

struct GuardedVersion {
    PAVRIX_DLL_VERSION version;
    uint8_t guard[12];
};

Bytes VersionReply(const std::string& text, size_t size = 52)
{
    Bytes reply = Concat({LE32(0x11111111), LE32(0x22222222), LE32(0x33333333)});
    reply.resize(size, 0);
    std::memcpy(reply.data() + 12, text.data(), std::min(text.size(), size > 12 ? size - 12 : 0));
    return reply;
}

TEST(DLLVersion, FillsTheRecordFromTheDevice)
{
    DeviceFolder folder;
    ObservedSession session(folder);
    GuardedVersion out;
    std::memset(&out, 0xAA, sizeof out);
    EXPECT_EQ(GetPavrixDLLVersion(session.rapi, out.version), 0);
    ExpectInvocation(*session.device, "GetDLLVersion", {}, true);
    EXPECT_EQ(out.version.values[0], 1u);
    EXPECT_EQ(out.version.values[1], 0u);
    EXPECT_EQ(out.version.values[2], 17u);
    EXPECT_STREQ(out.version.text, "pavrix device library 1.0");
    // The text is copied up to and including its zero byte, no further.
    size_t used = std::strlen("pavrix device library 1.0") + 1;
    for (size_t i = used; i < sizeof out.version.text; ++i)
        EXPECT_EQ(uint8_t(out.version.text[i]), 0xAA) << i;
    ExpectBlocksReturned(*session.device);
}

TEST(DLLVersion, ReplySizeRules)
{
    struct Case {
        const char* what;
        int32_t result;
        std::optional<Bytes> reply;
        int32_t expected;
        bool written;
    };
    const Case cases[] = {
        {"success, 48 bytes", 0, VersionReply("v", 48), kEFail, false},
        {"success, 56 bytes", 0, VersionReply("v", 56), kEFail, false},
        {"success, no reply", 0, std::nullopt, kEFail, false},
        {"failure, no reply", int32_t(ERROR_GEN_FAILURE), std::nullopt, kEFail, false},
        {"failure, 12 bytes", int32_t(ERROR_GEN_FAILURE), VersionReply("", 12), kEFail, false},
        {"failure with a whole record keeps its code", int32_t(ERROR_GEN_FAILURE), VersionReply("v"),
         int32_t(ERROR_GEN_FAILURE), false},
        {"success, 52 bytes", 0, VersionReply("2.5"), 0, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        DeviceFolder folder;
        ObservedSession session(folder);
        session.device->replaceInvokeReply("GetDLLVersion", c.result, c.reply);
        GuardedVersion out;
        std::memset(&out, 0xAA, sizeof out);
        GuardedVersion before = out;
        EXPECT_EQ(GetPavrixDLLVersion(session.rapi, out.version), c.expected);
        if (c.written) {
            EXPECT_EQ(out.version.values[0], 0x11111111u);
            EXPECT_EQ(out.version.values[1], 0x22222222u);
            EXPECT_EQ(out.version.values[2], 0x33333333u);
            EXPECT_STREQ(out.version.text, "2.5");
            EXPECT_EQ(uint8_t(out.version.text[4]), 0xAA);
        } else {
            EXPECT_EQ(std::memcmp(&out, &before, sizeof out), 0);
        }
        ExpectBlocksReturned(*session.device);
    }
}

TEST(DLLVersion, ATextWithoutAZeroByteStaysInsideItsField)
{
    DeviceFolder folder;
    ObservedSession session(folder);
    session.device->replaceInvokeReply("GetDLLVersion", 0, VersionReply(std::string(40, 'v')));
    GuardedVersion out;
    std::memset(&out, 0xAA, sizeof out);
    EXPECT_EQ(GetPavrixDLLVersion(session.rapi, out.version), 0);
    EXPECT_EQ(std::string(out.version.text, sizeof out.version.text), std::string(40, 'v'));
    for (uint8_t byte : out.guard)
        EXPECT_EQ(byte, 0xAA);
}

TEST(ResetLogging, SendsTheStateAsFourBytes)
{
    struct Case {
        int32_t state;
        Bytes block;
    };
    const Case cases[] = {{0, {0, 0, 0, 0}}, {1, {1, 0, 0, 0}}, {0x12345678, {0x78, 0x56, 0x34, 0x12}}, {-2, {0xFE, 0xFF, 0xFF, 0xFF}}};
    DeviceFolder folder;
    ObservedSession session(folder);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.state);
        session.device->forget();
        EXPECT_EQ(resetLogging(session.rapi, c.state), 0);
        ExpectInvocation(*session.device, "PXResetLoggingState", c.block, false);
        auto library = PlistObject::loadDictionary(folder / "library.plist");
        ASSERT_TRUE(library);
        EXPECT_EQ(library->getInteger("LoggingState"), int64_t(uint32_t(c.state)));
    }
    session.device->replaceInvokeReply("PXResetLoggingState", int32_t(ERROR_ACCESS_DENIED), std::nullopt);
    EXPECT_EQ(resetLogging(session.rapi, 1), int32_t(ERROR_ACCESS_DENIED));
}

TEST(ExitCode, ReadsFourBytesWithPacketLoggingOnForTheCallOnly)
{
    DeviceFolder folder;
    folder.setProcessExitCode(1234, 259);
    ObservedSession session(folder);

    uint32_t exitCode = 77;
    EXPECT_EQ(GetExitCodeProcess(session.rapi, 1234, exitCode), 0);
    ExpectInvocation(*session.device, "PXCeGetExitCodeProcess", {0xD2, 0x04, 0, 0}, true);
    EXPECT_TRUE(session.device->invocations.front().packetLoggingOn);
    EXPECT_EQ(exitCode, 259u);
    EXPECT_FALSE(session.rapi.readPacketLogging());

    // An unknown process: the device's code, the exit code untouched, logging off.
    session.rapi.setReadPacketLogging(true);
    exitCode = 77;
    EXPECT_EQ(GetExitCodeProcess(session.rapi, 99, exitCode), int32_t(ERROR_INVALID_HANDLE));
    EXPECT_EQ(exitCode, 77u);
    EXPECT_FALSE(session.rapi.readPacketLogging());
    ExpectBlocksReturned(*session.device);
}

TEST(ExitCode, ReplyRules)
{
    struct Case {
        const char* what;
        int32_t result;
        std::optional<Bytes> reply;
        uint32_t expected;
    };
    const Case cases[] = {
        {"4 bytes", 0, LE32(0xCAFEF00D), 0xCAFEF00D},
        {"8 bytes", 0, Bytes(8, 1), 77},
        {"2 bytes", 0, Bytes{1, 0}, 77},
        {"no block", 0, std::nullopt, 77},
        {"failure with 4 bytes", int32_t(ERROR_GEN_FAILURE), LE32(5), 77},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        DeviceFolder folder;
        ObservedSession session(folder);
        session.device->replaceInvokeReply("PXCeGetExitCodeProcess", c.result, c.reply);
        uint32_t exitCode = 77;
        EXPECT_EQ(GetExitCodeProcess(session.rapi, 1, exitCode), c.result);
        EXPECT_EQ(exitCode, c.expected);
        EXPECT_FALSE(session.rapi.readPacketLogging());
        ExpectBlocksReturned(*session.device);
    }
}

TEST(DeviceLibraryExtras, WithoutADeviceEveryCallReportsIt)
{
    DeviceFolder listed;
    ScopedEnv device("PAVRIX_DEVICE", listed.path());
    Rapi rapi(nullptr);
    rapi.setTracePath(std::nullopt);
    constexpr auto kNotConnected = int32_t(ERROR_DEVICE_NOT_CONNECTED);

    int32_t ink = -5;
    EXPECT_EQ(HasRichInk(rapi, ink), kNotConnected);
    EXPECT_EQ(ink, 1);
    std::optional<Bytes> results;
    EXPECT_EQ(ConvertFromFile(rapi, "\\a", 1, results), kNotConnected);
    EXPECT_FALSE(results);
    EXPECT_EQ(ConvertToFile(rapi, {1}, 1, "\\a"), kNotConnected);
    CalendarDate date = CalendarDate::fromSeconds(1, 0);
    EXPECT_EQ(GetSystemTime(rapi, date), kNotConnected);
    EXPECT_EQ(date, CalendarDate::fromSeconds(1, 0));
    EXPECT_EQ(SetSystemTime(rapi, date), kNotConnected);
    PAVRIX_DLL_VERSION version{};
    EXPECT_EQ(GetPavrixDLLVersion(rapi, version), kEFail);
    EXPECT_EQ(resetLogging(rapi, 0), kNotConnected);
    uint32_t exitCode = 3;
    EXPECT_EQ(GetExitCodeProcess(rapi, 1, exitCode), kNotConnected);
    EXPECT_EQ(exitCode, 3u);
    EXPECT_FALSE(rapi.readPacketLogging());
}

TEST(DeviceLibraryExtras, ADeviceThatVanishesBetweenCalls)
{
    auto folder = std::make_unique<DeviceFolder>();
    folder->setProcessExitCode(7, 0);
    testsupport::WriteFile(folder->fs("a.txt"), "a");
    ObservedSession session(*folder);

    uint32_t exitCode = 99;
    ASSERT_EQ(GetExitCodeProcess(session.rapi, 7, exitCode), 0);
    ASSERT_EQ(exitCode, 0u);
    std::optional<Bytes> results;
    ASSERT_EQ(ConvertFromFile(session.rapi, "\\a.txt", 0, results), 0);

    // The link drops: each call gets the link's code and writes nothing.
    session.device->failCall(Call::RapiInvoke, ERROR_DEVICE_NOT_CONNECTED);
    exitCode = 99;
    results = Bytes{1};
    EXPECT_EQ(GetExitCodeProcess(session.rapi, 7, exitCode), int32_t(ERROR_DEVICE_NOT_CONNECTED));
    EXPECT_EQ(exitCode, 99u);
    EXPECT_EQ(ConvertFromFile(session.rapi, "\\a.txt", 0, results), int32_t(ERROR_DEVICE_NOT_CONNECTED));
    EXPECT_EQ(results, Bytes{1});
    PAVRIX_DLL_VERSION version{};
    EXPECT_EQ(GetPavrixDLLVersion(session.rapi, version), kEFail);
    session.device->clearFaults();

    // The device's storage goes away under the session.
    folder.reset();
    EXPECT_NE(GetExitCodeProcess(session.rapi, 7, exitCode), 0);
    EXPECT_EQ(exitCode, 99u);
    EXPECT_NE(ConvertFromFile(session.rapi, "\\a.txt", 0, results), 0);
    EXPECT_EQ(results, Bytes{1});
    EXPECT_NE(ConvertToFile(session.rapi, {1, 2}, 0, "\\b.txt"), 0);
    EXPECT_FALSE(session.rapi.readPacketLogging());
    ExpectBlocksReturned(*session.device);
}

} // namespace

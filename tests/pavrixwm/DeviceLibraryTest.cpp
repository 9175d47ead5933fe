// The device-side library "pavrix" of the emulated device, block by block.

#include "DeviceFixture.h"
#include "pavrixwm/CeWCHAR.h"

#include <gtest/gtest.h>

#include <cstring>
#include <ctime>

using namespace devicetest;
using platform::PlistObject;

namespace {

struct Answer {
    int32_t result = 0;
    std::optional<std::vector<uint8_t>> reply;
};

Answer Invoke(Rapi& rapi, const std::string& function, const std::vector<uint8_t>& input, const std::string& dll = "pavrix")
{
    Answer answer;
    uint8_t* block = nullptr;
    DWORD length = 0;
    answer.result = rapi.CeRapiInvoke(dll, function, static_cast<DWORD>(input.size()), input.empty() ? nullptr : input.data(),
                                      &length, &block);
    if (block)
        answer.reply = std::vector<uint8_t>(block, block + length);
    rapi.CeRapiFreeBuffer(block);
    return answer;
}

std::vector<uint8_t> LE32(uint32_t value)
{
    return {uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16), uint8_t(value >> 24)};
}

uint32_t ReadLE32(const std::vector<uint8_t>& block, size_t offset)
{
    return block[offset] | (block[offset + 1] << 8) | (block[offset + 2] << 16) | (uint32_t(block[offset + 3]) << 24);
}

uint16_t ReadLE16(const std::vector<uint8_t>& block, size_t offset) { return uint16_t(block[offset] | (block[offset + 1] << 8)); }

std::vector<uint8_t> Concat(std::initializer_list<std::vector<uint8_t>> parts)
{
    std::vector<uint8_t> out;
    for (const auto& part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}

std::vector<PlistObject> Requests(const DeviceDir& dir)
{
    std::vector<PlistObject> out;
    auto library = PlistObject::loadDictionary(dir / "library.plist");
    if (!library)
        return out;
    auto requests = library->get("Requests");
    if (!requests || requests->type() != PLIST_ARRAY)
        return out;
    for (uint32_t i = 0; i < plist_array_get_size(requests->node()); ++i)
        out.emplace_back(plist_copy(plist_array_get_item(requests->node(), i)));
    return out;
}

std::vector<std::string> MediaLibrary(const DeviceDir& dir)
{
    std::vector<std::string> out;
    auto library = PlistObject::loadDictionary(dir / "library.plist");
    auto media = library ? library->get("MediaLibrary") : std::nullopt;
    if (!media)
        return out;
    for (uint32_t i = 0; i < plist_array_get_size(media->node()); ++i)
        out.push_back(*PlistObject(plist_copy(plist_array_get_item(media->node(), i))).asString());
    return out;
}

// The UTC instant a SYSTEMTIME block names, to the second.
time_t SecondsOf(const std::vector<uint8_t>& block)
{
    struct tm fields {};
    fields.tm_year = ReadLE16(block, 0) - 1900;
    fields.tm_mon = ReadLE16(block, 2) - 1;
    fields.tm_mday = ReadLE16(block, 6);
    fields.tm_hour = ReadLE16(block, 8);
    fields.tm_min = ReadLE16(block, 10);
    fields.tm_sec = ReadLE16(block, 12);
    return timegm(&fields);
}

std::vector<uint8_t> SystemTime(uint16_t year, uint16_t month, uint16_t dayOfWeek, uint16_t day, uint16_t hour,
                                uint16_t minute, uint16_t second, uint16_t ms)
{
    std::vector<uint8_t> block;
    for (uint16_t field : {year, month, dayOfWeek, day, hour, minute, second, ms}) {
        block.push_back(uint8_t(field));
        block.push_back(uint8_t(field >> 8));
    }
    return block;
}

TEST(DeviceLibrary, UnknownLibrariesAndFunctionsAreRefused)
{
    DeviceDir dir;
    auto rapi = dir.session();
    EXPECT_EQ(Invoke(*rapi, "PXCeHasRichInk", {}, "other").result, int32_t(ERROR_MOD_NOT_FOUND));
    EXPECT_EQ(Invoke(*rapi, "PXCeWMPAddToLibrary", {}).result, int32_t(ERROR_PROC_NOT_FOUND)); // the name is "Libary"
    EXPECT_EQ(Invoke(*rapi, "pxcehasrichink", {}).result, int32_t(ERROR_PROC_NOT_FOUND));
    Answer answer = Invoke(*rapi, "PXCeHasRichInk", {}, "PAVRIX.DLL");
    EXPECT_EQ(answer.result, 0);
    EXPECT_FALSE(Invoke(*rapi, "Nope", {}).reply);
}

TEST(DeviceLibrary, RichInkDependsOnTheDeviceClass)
{
    DeviceDir dir;
    auto rapi = dir.session();
    Answer answer = Invoke(*rapi, "PXCeHasRichInk", {});
    EXPECT_EQ(answer.result, 0);
    EXPECT_EQ(answer.reply, LE32(1));

    auto settings = PlistObject::dictionary();
    settings.set("DeviceClass", PlistObject::string("SmartPhone"));
    dir.setDevicePlist(settings);
    EXPECT_EQ(Invoke(*rapi, "PXCeHasRichInk", {}).reply, LE32(0));
}

TEST(DeviceLibrary, MediaLibraryRequestsAreRecorded)
{
    DeviceDir dir;
    auto rapi = dir.session();
    // Three characters: six bytes of units and the zero unit.
    auto text = Utf8ToDeviceText("a\xC3\xA9z");
    ASSERT_EQ(text.size(), 8u);
    EXPECT_EQ(rapi->CeRapiInvoke("pavrix", "PXCeWMPAddToLibary", 8, text.data(), nullptr, nullptr), 0);
    auto second = Utf8ToDeviceText("\\Storage Card\\song.mp3");
    EXPECT_EQ(rapi->CeRapiInvoke("pavrix", "PXCeWMPAddToLibary", DWORD(second.size()), second.data(), nullptr, nullptr), 0);
    EXPECT_EQ(MediaLibrary(dir), (std::vector<std::string>{"a\xC3\xA9z", "\\Storage Card\\song.mp3"}));

    // Text without its zero unit, or of an odd length, is not device text.
    for (const auto& bad : {std::vector<uint8_t>{'a', 0}, std::vector<uint8_t>{'a', 0, 0}, std::vector<uint8_t>{}}) {
        EXPECT_EQ(Invoke(*rapi, "PXCeWMPAddToLibary", bad).result, int32_t(ERROR_INVALID_PARAMETER));
    }
    EXPECT_EQ(MediaLibrary(dir).size(), 2u);

    EXPECT_EQ(rapi->CeRapiInvoke("pavrix", "PXCeWMPCleanLibary", 0, nullptr, nullptr, nullptr), 0);
    EXPECT_TRUE(MediaLibrary(dir).empty());
    auto requests = Requests(dir);
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0].getString("Function"), "PXCeWMPAddToLibary");
    EXPECT_EQ(requests[0].getString("Text"), "a\xC3\xA9z");
    EXPECT_EQ(requests[2].getString("Function"), "PXCeWMPCleanLibary");
}

TEST(DeviceLibrary, ConversionsReadAndWriteDeviceFiles)
{
    DeviceDir dir;
    dir.put("My Documents/note.pwi", "ink bytes");
    auto rapi = dir.session();

    // Conversion-from block: format, then the path as device text.
    Answer answer = Invoke(*rapi, "PXCeConvertFromFile", Concat({LE32(3), Utf8ToDeviceText("\\my documents\\NOTE.pwi")}));
    EXPECT_EQ(answer.result, 0);
    ASSERT_TRUE(answer.reply);
    EXPECT_EQ(std::string(answer.reply->begin(), answer.reply->end()), "ink bytes");
    EXPECT_EQ(Invoke(*rapi, "PXCeConvertFromFile", Concat({LE32(3), Utf8ToDeviceText("\\missing.pwi")})).result,
              int32_t(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(Invoke(*rapi, "PXCeConvertFromFile", {3, 0, 0, 0, 'a'}).result, int32_t(ERROR_INVALID_PARAMETER));

    // The conversion-to block of a one-character path "A", format 3 and five data bytes is 17 bytes.
    std::vector<uint8_t> block = {3, 0, 0, 0, 4, 0, 0, 0, 0x41, 0, 0, 0, 'h', 'e', 'l', 'l', 'o'};
    EXPECT_EQ(rapi->CeRapiInvoke("pavrix", "PXCeConvertToFile", DWORD(block.size()), block.data(), nullptr, nullptr), 0);
    EXPECT_EQ(dir.read("A"), "hello");

    struct Bad {
        const char* what;
        std::vector<uint8_t> block;
        int32_t code;
    };
    const std::vector<Bad> bad = {
        {"path length past the end", {3, 0, 0, 0, 40, 0, 0, 0, 0x41, 0, 0, 0}, int32_t(ERROR_INVALID_PARAMETER)},
        {"path without zero unit", {3, 0, 0, 0, 2, 0, 0, 0, 0x41, 0, 'x'}, int32_t(ERROR_INVALID_PARAMETER)},
        {"short header", {3, 0, 0, 0, 4, 0}, int32_t(ERROR_INVALID_PARAMETER)},
        {"missing folder", Concat({LE32(1), LE32(16), Utf8ToDeviceText("\\no\\x.b")}), int32_t(ERROR_PATH_NOT_FOUND)},
    };
    for (const auto& c : bad)
        EXPECT_EQ(Invoke(*rapi, "PXCeConvertToFile", c.block).result, c.code) << c.what;

    auto requests = Requests(dir);
    ASSERT_GE(requests.size(), 3u);
    EXPECT_EQ(requests[0].getString("Function"), "PXCeConvertFromFile");
    EXPECT_EQ(requests[0].getInteger("Format"), 3);
    EXPECT_EQ(requests[0].getString("Path"), "\\my documents\\NOTE.pwi");
    EXPECT_EQ(requests[2].getString("Function"), "PXCeConvertToFile");
    EXPECT_EQ(requests[2].getString("Path"), "A");
    EXPECT_EQ(requests[2].getInteger("Length"), 5);
}

TEST(DeviceLibrary, ClockFollowsTheHostUntilSetAndKeepsItsOffset)
{
    DeviceDir dir;
    auto rapi = dir.session();
    Answer answer = Invoke(*rapi, "PXCeGetSystemTime", {});
    ASSERT_EQ(answer.result, 0);
    ASSERT_TRUE(answer.reply);
    ASSERT_EQ(answer.reply->size(), 16u);
    time_t now = std::time(nullptr);
    EXPECT_LE(std::llabs(SecondsOf(*answer.reply) - now), 2);
    struct tm fields {};
    time_t shown = SecondsOf(*answer.reply);
    gmtime_r(&shown, &fields);
    EXPECT_EQ(ReadLE16(*answer.reply, 4), fields.tm_wday);
    EXPECT_LT(ReadLE16(*answer.reply, 14), 1000);

    // 1 March 2001, 13:05:09 UTC; day of week and milliseconds as the caller gives them.
    auto set = SystemTime(2001, 3, 4, 1, 13, 5, 9, 0);
    EXPECT_EQ(rapi->CeRapiInvoke("pavrix", "PXCeSetSystemTime", 16, set.data(), nullptr, nullptr), 0);
    struct tm target {};
    target.tm_year = 101;
    target.tm_mon = 2;
    target.tm_mday = 1;
    target.tm_hour = 13;
    target.tm_min = 5;
    target.tm_sec = 9;
    time_t expected = timegm(&target);
    answer = Invoke(*rapi, "PXCeGetSystemTime", {});
    ASSERT_TRUE(answer.reply);
    EXPECT_LE(std::llabs(SecondsOf(*answer.reply) - expected), 2);
    EXPECT_EQ(ReadLE16(*answer.reply, 4), 4); // 1 March 2001 was a Thursday

    // Another session of the same device keeps the set clock running.
    auto later = dir.session();
    answer = Invoke(*later, "PXCeGetSystemTime", {});
    ASSERT_TRUE(answer.reply);
    EXPECT_LE(std::llabs(SecondsOf(*answer.reply) - expected), 3);

    for (const auto& bad : {SystemTime(2001, 13, 0, 1, 0, 0, 0, 0), SystemTime(2001, 2, 0, 29, 0, 0, 0, 0),
                            SystemTime(2001, 1, 0, 1, 24, 0, 0, 0), SystemTime(1500, 1, 0, 1, 0, 0, 0, 0)})
        EXPECT_EQ(Invoke(*rapi, "PXCeSetSystemTime", bad).result, int32_t(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(Invoke(*rapi, "PXCeSetSystemTime", std::vector<uint8_t>(15, 1)).result, int32_t(ERROR_INVALID_PARAMETER));
}

TEST(DeviceLibrary, VersionRecordIsFiftyTwoBytesWithTerminatedText)
{
    DeviceDir dir;
    auto rapi = dir.session();
    Answer answer = Invoke(*rapi, "GetDLLVersion", {});
    ASSERT_EQ(answer.result, 0);
    ASSERT_TRUE(answer.reply);
    ASSERT_EQ(answer.reply->size(), 52u);
    EXPECT_EQ(ReadLE32(*answer.reply, 0), 1u);
    const uint8_t* text = answer.reply->data() + 12;
    size_t length = strnlen(reinterpret_cast<const char*>(text), 40);
    EXPECT_GT(length, 0u);
    EXPECT_LT(length, 40u);
}

TEST(DeviceLibrary, LoggingResetIsRecorded)
{
    DeviceDir dir;
    auto rapi = dir.session();
    auto state = LE32(uint32_t(-2));
    EXPECT_EQ(rapi->CeRapiInvoke("pavrix", "PXResetLoggingState", 4, state.data(), nullptr, nullptr), 0);
    EXPECT_EQ(Invoke(*rapi, "PXResetLoggingState", {1, 0}).result, int32_t(ERROR_INVALID_PARAMETER));
    auto requests = Requests(dir);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].getString("Function"), "PXResetLoggingState");
    EXPECT_EQ(requests[0].getInteger("State"), -2);
}

TEST(DeviceLibrary, ExitCodesOfKnownProcesses)
{
    DeviceDir dir;
    auto rapi = dir.session();
    EXPECT_EQ(Invoke(*rapi, "PXCeGetExitCodeProcess", LE32(1234)).result, int32_t(ERROR_INVALID_HANDLE));

    auto processes = PlistObject::dictionary();
    processes.set("1234", PlistObject::integer(7));
    processes.set("99", PlistObject::integer(259)); // still running
    auto settings = PlistObject::dictionary();
    settings.set("Processes", processes);
    dir.setDevicePlist(settings);
    EXPECT_EQ(Invoke(*rapi, "PXCeGetExitCodeProcess", LE32(1234)).reply, LE32(7));
    EXPECT_EQ(Invoke(*rapi, "PXCeGetExitCodeProcess", LE32(99)).reply, LE32(259));
    Answer unknown = Invoke(*rapi, "PXCeGetExitCodeProcess", LE32(5));
    EXPECT_EQ(unknown.result, int32_t(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(unknown.reply);
    EXPECT_EQ(Invoke(*rapi, "PXCeGetExitCodeProcess", {1, 2, 3}).result, int32_t(ERROR_INVALID_PARAMETER));
}

TEST(DeviceLibrary, NoReplyBlockWhenNoneIsAsked)
{
    DeviceDir dir;
    auto device = dir.device();
    // Without out pointers no block is handed out. A pointer the device never handed
    // out is ignored rather than freed (freeing this stack byte would abort).
    EXPECT_EQ(device->CeRapiInvoke("pavrix", "GetDLLVersion", 0, nullptr, nullptr, nullptr), 0);
    uint8_t local = 0;
    device->CeRapiFreeBuffer(&local);
    device->CeRapiFreeBuffer(nullptr);
    uint8_t* block = nullptr;
    DWORD length = 0;
    ASSERT_EQ(device->CeRapiInvoke("pavrix", "GetDLLVersion", 0, nullptr, &length, &block), 0);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(length, 52u);
    device->CeRapiFreeBuffer(block);
}

} // namespace

// The device-side library "pavrix" of the emulated device, block by block.

#include "DeviceFixture.h"
#include "pavrixwm/CeWCHAR.h"

using namespace devicetest;
using platform::PlistObject;

namespace {

using Block = std::vector<uint8_t>;

std::pair<int32_t, std::optional<Block>> Invoke(Rapi& rapi, const std::string& function, const Block& input, const std::string& dll = "pavrix")
{
    uint8_t* block = nullptr;
    DWORD length = 0;
    int32_t result = rapi.CeRapiInvoke(dll, function, DWORD(input.size()), input.data(), &length, &block);
    std::optional<Block> reply = block ? std::optional<Block>(Block(block, block + length)) : std::nullopt;
    rapi.CeRapiFreeBuffer(block);
    return {result, reply};
}

Block operator+(Block a, const Block& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Block LE32(uint32_t value) { return {uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16), uint8_t(value >> 24)}; }

// A SYSTEMTIME block: year, month, day of week, day (then hour, minute, second, milliseconds).
Block SystemTime(std::vector<uint16_t> fields)
{
    Block out;
    for (uint16_t field : fields)
        out.insert(out.end(), {uint8_t(field), uint8_t(field >> 8)});
    return out;
}

TEST(DeviceLibrary, EachFunctionAnswersItsBlocksAndRecordsItsRequest)
{
    DeviceDir dir;
    dir.put("My Documents/note.pwi", "ink bytes");
    dir.put("busy.pwi", "busy");
    auto processes = PlistObject::dictionary();
    processes.set("1234", PlistObject::integer(7));
    auto settings = PlistObject::dictionary();
    settings.set("Processes", processes);
    dir.setDevicePlist(settings);
    auto rapi = dir.session();
    // The library reads and writes like any other user of the device's files.
    auto holder = dir.session();
    ASSERT_NE(holder->CeCreateFile("\\busy.pwi", GENERIC_WRITE, 0, OPEN_EXISTING, 0), INVALID_HANDLE_VALUE);
    constexpr int32_t kBad = ERROR_INVALID_PARAMETER;
    struct Case {
        const char* function;
        Block input;
        int32_t result;
        std::optional<Block> reply;
    };
    const std::vector<Case> cases = {
        {"PXCeHasRichInk", {}, 0, LE32(1)},
        {"PXCeWMPAddToLibrary", {}, ERROR_PROC_NOT_FOUND, {}}, // the name is "Libary"
        {"PXCeWMPAddToLibary", Utf8ToDeviceText("\\Storage Card\\song\xC3\xA9.mp3"), 0, {}},
        {"PXCeWMPAddToLibary", {'a', 0, 0}, kBad, {}}, // odd length, no zero unit
        {"PXCeConvertFromFile", LE32(3) + Utf8ToDeviceText("\\my documents\\NOTE.pwi"), 0, Bytes("ink bytes")},
        {"PXCeConvertFromFile", LE32(3) + Utf8ToDeviceText("\\busy.pwi"), ERROR_SHARING_VIOLATION, {}},
        // Format 3, a path of 4 bytes ("A" and its zero unit), five data bytes.
        {"PXCeConvertToFile", {3, 0, 0, 0, 4, 0, 0, 0, 0x41, 0, 0, 0, 'h', 'e', 'l', 'l', 'o'}, 0, {}},
        {"PXCeConvertToFile", {3, 0, 0, 0, 40, 0, 0, 0, 0x41, 0, 0, 0}, kBad, {}},
        {"PXCeConvertToFile", LE32(1) + LE32(20) + Utf8ToDeviceText("\\busy.pwi"), ERROR_SHARING_VIOLATION, {}},
        {"PXCeGetExitCodeProcess", LE32(1234), 0, LE32(7)},
        {"PXCeSetSystemTime", SystemTime({2001, 13, 0, 1, 0, 0, 0, 0}), kBad, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.function + testing::PrintToString(c.input));
        auto [result, reply] = Invoke(*rapi, c.function, c.input);
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(reply, c.reply);
    }
    EXPECT_EQ(dir.read("A") + dir.read("busy.pwi"), "hellobusy");
    auto library = PlistObject::loadDictionary(dir / "library.plist");
    ASSERT_TRUE(library);
    auto media = library->get("MediaLibrary").value();
    ASSERT_EQ(plist_array_get_size(media.node()), 1u);
    EXPECT_EQ(PlistObject(plist_copy(plist_array_get_item(media.node(), 0))).asString(), "\\Storage Card\\song\xC3\xA9.mp3");
}

// A clock set to 1601 reads back in 1601 in every later session, not in a year
// wrapped round the host clock's range, with the day of week worked out.
TEST(DeviceLibrary, ASetClockKeepsItsDateAcrossSessions)
{
    DeviceDir dir;
    auto rapi = dir.session();
    ASSERT_EQ(Invoke(*rapi, "PXCeSetSystemTime", SystemTime({1601, 3, 0, 1, 13, 5, 9, 0})).first, 0);
    auto early = Invoke(*dir.session(), "PXCeGetSystemTime", {}).second.value();
    EXPECT_EQ(Block(early.begin(), early.begin() + 12), SystemTime({1601, 3, 4, 1, 13, 5}));
}

} // namespace

// The remote-call messages byte for byte, one table per dialect, each vector
// written out by hand from the layouts the link's handhelds expect; then the
// replies read back, and replies and requests that make no sense refused.

#include "RapiResponder.h"
#include "pavrixwm/EmulatedDevice.h"
#include "pavrixwm/RapiClientCodec.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cctype>
#include <functional>
#include <tuple>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Hex(const std::string& text)
{
    Bytes out;
    std::string digits;
    for (char c : text)
        if (std::isxdigit(static_cast<unsigned char>(c)))
            digits += c;
    for (size_t i = 0; i + 1 < digits.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoi(digits.substr(i, 2), nullptr, 16)));
    return out;
}

std::string ToHex(const Bytes& bytes)
{
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (i && i % 4 == 0)
            out += ' ';
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 15];
    }
    return out;
}

struct Golden {
    const char* call;
    std::function<Bytes(const RapiClientCodec&)> encode;
    const char* bytes;
};

const uint8_t kHi[] = {'h', 'i'};
const uint8_t kX[] = {'x'};
const FILETIME kTime{1, 2};
const LONG kHigh = 1;

// "\a" is 5c00 6100 0000 in device text (three characters with the NUL).
const Golden kRapi1[] = {
    {"FindAllFiles", [](auto& c) { return c.findAllFiles("\\a", 0xA1); },
     "09000000 01000000 03000000 5c006100 0000 a1000000"},
    {"CreateFile", [](auto& c) { return c.createFile("\\a", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, 0x80); },
     "05000000 00000080 01000000 03000000 80000000 00000000 01000000 03000000 5c006100 0000"},
    {"ReadFile", [](auto& c) { return c.readFile(7, 16); }, "06000000 07000000 01000000 10000000 00000000 00000000"},
    {"WriteFile", [](auto& c) { return c.writeFile(7, kHi, 2); }, "07000000 07000000 01000000 02000000 6869 00000000"},
    {"SetFilePointer", [](auto& c) { return c.setFilePointer(7, 5, nullptr, FILE_END); },
     "15000000 07000000 05000000 00000000 02000000"},
    {"CloseHandle", [](auto& c) { return c.closeHandle(7); }, "08000000 07000000"},
    {"DeleteFile", [](auto& c) { return c.deleteFile("\\a"); }, "1c000000 01000000 06000000 01000000 5c006100 0000"},
    {"RemoveDirectory", [](auto& c) { return c.removeDirectory("\\a"); },
     "18000000 01000000 06000000 01000000 5c006100 0000"},
    {"CreateDirectory", [](auto& c) { return c.createDirectory("\\a"); },
     "17000000 01000000 06000000 01000000 5c006100 0000 00000000"},
    {"MoveFile", [](auto& c) { return c.moveFile("\\a", "\\b"); },
     "1a000000 01000000 06000000 01000000 5c006100 0000 01000000 06000000 01000000 5c006200 0000"},
    {"CopyFile", [](auto& c) { return c.copyFile("\\a", "\\b", TRUE); },
     "1b000000 01000000 06000000 01000000 5c006100 0000 01000000 06000000 01000000 5c006200 0000 01000000"},
    {"GetStoreInformation", [](auto& c) { return c.getStoreInformation(); }, "29000000 01000000 08000000 00000000"},
    {"RegOpenKeyEx", [](auto& c) { return c.regOpenKeyEx(HKEY_LOCAL_MACHINE, "K"); },
     "1e000000 02000080 01000000 02000000 4b000000"},
    {"RegCreateKeyEx", [](auto& c) { return c.regCreateKeyEx(HKEY_CURRENT_USER, "K", std::nullopt); },
     "20000000 01000080 01000000 02000000 4b000000 00000000"},
    {"RegQueryValueEx", [](auto& c) { return c.regQueryValueEx(0x10, "V", 64); },
     "26000000 10000000 01000000 04000000 01000000 56000000 01000000 04000000 00000000"
     " 01000000 04000000 00000000 01000000 40000000 00000000 01000000 04000000 01000000 40000000"},
    {"RegSetValueEx", [](auto& c) { return c.regSetValueEx(0x10, "V", RegistryValue(int64_t{7})); },
     "27000000 10000000 01000000 04000000 01000000 56000000 04000000 01000000 04000000 01000000 07000000 04000000"},
    {"RegCloseKey", [](auto& c) { return c.regCloseKey(0x10); }, "21000000 10000000"},
    {"RapiInvoke", [](auto& c) { return c.rapiInvoke("d", "f", kX, 1); },
     "45000000 00000000 01000000 02000000 64000000 01000000 02000000 66000000 01000000 78 00000000"},
};

const Golden kRapi2[] = {
    {"FindAllFiles", [](auto& c) { return c.findAllFiles("\\a", 0xA1); }, "1a000000 06000000 5c006100 0000 a1000000"},
    {"CreateFile", [](auto& c) { return c.createFile("\\a", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, 0x80); },
     "16000000 06000000 5c006100 0000 00000080 01000000 03000000 80000000 00000000"},
    {"ReadFile", [](auto& c) { return c.readFile(7, 16); }, "17000000 07000000 10000000"},
    {"WriteFile", [](auto& c) { return c.writeFile(7, kHi, 2); }, "18000000 07000000 02000000 6869"},
    {"SetFilePointer", [](auto& c) { return c.setFilePointer(7, 5, &kHigh, FILE_BEGIN); },
     "26000000 07000000 05000000 01000000 01000000 00000000"},
    {"CloseHandle", [](auto& c) { return c.closeHandle(7); }, "19000000 07000000"},
    {"SetFileTime", [](auto& c) { return c.setFileTime(7, nullptr, &kTime, nullptr); },
     "42000000 07000000 00000000 08000000 01000000 02000000 00000000"},
    {"DeleteFile", [](auto& c) { return c.deleteFile("\\a"); }, "2d000000 06000000 5c006100 0000"},
    {"RemoveDirectory", [](auto& c) { return c.removeDirectory("\\a"); }, "29000000 06000000 5c006100 0000"},
    {"CreateDirectory", [](auto& c) { return c.createDirectory("\\a"); }, "28000000 06000000 5c006100 0000"},
    {"MoveFile", [](auto& c) { return c.moveFile("\\a", "\\b"); },
     "2b000000 06000000 5c006100 0000 06000000 5c006200 0000"},
    {"CopyFile", [](auto& c) { return c.copyFile("\\a", "\\b", TRUE); },
     "2c000000 06000000 5c006100 0000 06000000 5c006200 0000 01000000"},
    {"GetStoreInformation", [](auto& c) { return c.getStoreInformation(); }, "39000000"},
    {"GetDiskFreeSpaceEx", [](auto& c) { return c.getDiskFreeSpaceEx("\\a"); }, "5c000000 06000000 5c006100 0000"},
    {"RegOpenKeyEx", [](auto& c) { return c.regOpenKeyEx(HKEY_LOCAL_MACHINE, "K"); },
     "2f000000 02000080 04000000 4b000000"},
    {"RegCreateKeyEx", [](auto& c) { return c.regCreateKeyEx(HKEY_CURRENT_USER, "K", std::nullopt); },
     "31000000 01000080 04000000 4b000000 00000000"},
    {"RegQueryValueEx", [](auto& c) { return c.regQueryValueEx(0x10, "V", 64); },
     "37000000 10000000 04000000 56000000 40000000"},
    {"RegSetValueEx", [](auto& c) { return c.regSetValueEx(0x10, "V", RegistryValue(std::string("ab"))); },
     "38000000 10000000 04000000 56000000 01000000 06000000 61006200 0000"},
    {"RegCloseKey", [](auto& c) { return c.regCloseKey(0x10); }, "32000000 10000000"},
    {"RapiInvoke", [](auto& c) { return c.rapiInvoke("d", "f", kX, 1); },
     "4c000000 00000000 04000000 64000000 04000000 66000000 01000000 78 00000000"},
};

const RapiClientCodec older(RapiDialect::Rapi1), newer(RapiDialect::Rapi2);

void CheckTable(const RapiClientCodec& codec, const Golden* table, size_t size)
{
    for (size_t i = 0; i < size; ++i)
        EXPECT_EQ(ToHex(table[i].encode(codec)), ToHex(Hex(table[i].bytes))) << table[i].call;
}

} // namespace

TEST(RapiWire, OlderDialectRequests) { CheckTable(older, kRapi1, std::size(kRapi1)); }

TEST(RapiWire, NewerDialectRequests) { CheckTable(newer, kRapi2, std::size(kRapi2)); }

TEST(RapiWire, OlderDialectHasNoLayoutForFileTimesOrDiskSpace)
{
    EXPECT_FALSE(older.supports(RapiCall::SetFileTime) || older.supports(RapiCall::GetDiskFreeSpaceEx));
    EXPECT_TRUE(newer.supports(RapiCall::SetFileTime));
}

TEST(RapiWire, ListingRepliesInBothDialects)
{
    // One entry "x": a folder of 5 bytes. Names count characters in the older
    // dialect and bytes in the newer; the newer puts last error and result first.
    const DWORD flags = FAF_NAME | FAF_ATTRIBUTES | FAF_SIZE_LOW;
    const std::pair<const RapiClientCodec&, const char*> cases[] = {
        {older, "00000000 01000000 02000000 10000000 05000000 7800 0000"},
        {newer, "00000000 01000000 01000000 04000000 10000000 05000000 7800 0000"},
    };
    for (const auto& [codec, reply] : cases) {
        RapiStatus status;
        std::vector<RapiFindData> found;
        ASSERT_TRUE(codec.findAllFilesReply(Hex(reply), flags, status, found)) << reply;
        ASSERT_EQ(found.size(), 1u);
        EXPECT_EQ(found[0].filename, "x");
        EXPECT_EQ(found[0].attributes, FILE_ATTRIBUTE_DIRECTORY);
        EXPECT_EQ(found[0].fileSize, 5u);
        EXPECT_NE(status.result, 0u);
    }
}

TEST(RapiWire, OlderDialectRefusalCarriesTheWin32Code)
{
    RapiStatus status;
    std::vector<RapiFindData> found;
    ASSERT_TRUE(older.findAllFilesReply(Hex("01000000 03000780"), FAF_NAME, status, found));
    EXPECT_TRUE(status.refused);
    EXPECT_EQ(status.lastError, ERROR_PATH_NOT_FOUND);
    ASSERT_TRUE(older.status(Hex("01000000 05400080"), status));
    EXPECT_EQ(status.lastError, ERROR_GEN_FAILURE); // not a Win32 HRESULT
}

TEST(RapiWire, ValueAndDataReplies)
{
    RapiStatus status;
    std::optional<RegistryValue> value;
    // The older dialect sends type, data and size as optional arguments.
    ASSERT_TRUE(older.regQueryValueReply(Hex("00000000 00000000 00000000 01000000 04000000 01000000 01000000 01000000"
                                             " 04000000 01000000 61000000 01000000 04000000 01000000 04000000"),
                                         status, value));
    EXPECT_EQ(value, RegistryValue(std::string("a")));
    ASSERT_TRUE(newer.regQueryValueReply(Hex("00000000 00000000 04000000 04000000 2a000000"), status, value));
    EXPECT_EQ(value, RegistryValue(int64_t{42}));

    uint8_t buffer[8];
    DWORD got = 0;
    ASSERT_TRUE(newer.readFileReply(Hex("00000000 01000000 03000000 616263"), status, buffer, sizeof buffer, got));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), got), "abc");

    STORE_INFORMATION info;
    ASSERT_TRUE(older.storeInformationReply(
        Hex("00000000 00000000 01000000 01000000 08000000 01000000 00100000 00080000"), status, info));
    EXPECT_EQ(info.dwStoreSize, 0x1000u);
    EXPECT_EQ(info.dwFreeSize, 0x800u);
}

TEST(RapiWire, RepliesThatMakeNoSenseAreRefusedWithoutReadingPastThem)
{
    const DWORD flags = FAF_NAME | FAF_ATTRIBUTES;
    const std::tuple<RapiDialect, const char*, const char*> listings[] = {
        {RapiDialect::Rapi1, "empty", ""},
        {RapiDialect::Rapi1, "count past the data", "00000000 05000000 02000000 10000000 7800 0000"},
        {RapiDialect::Rapi1, "huge count", "00000000 ffffffff"},
        {RapiDialect::Rapi1, "name past the end", "00000000 01000000 ff000000 10000000 7800"},
        {RapiDialect::Rapi1, "name longer than a path", "00000000 01000000 00100000 10000000"},
        {RapiDialect::Rapi1, "a good entry, then a name too long",
         "00000000 02000000 02000000 10000000 7800 0000 00100000 10000000"},
        {RapiDialect::Rapi2, "odd name length", "00000000 01000000 01000000 03000000 10000000 780000"},
        {RapiDialect::Rapi2, "unpaired surrogate", "00000000 01000000 01000000 04000000 10000000 00d80000"},
        {RapiDialect::Rapi2, "cut in the middle", "00000000 01000000 01000000 04000000 10"},
    };
    for (const auto& [dialect, what, reply] : listings) {
        RapiStatus status;
        std::vector<RapiFindData> found;
        EXPECT_FALSE(RapiClientCodec(dialect).findAllFilesReply(Hex(reply), flags, status, found)) << what;
        EXPECT_TRUE(found.empty()) << what;
    }
    RapiStatus status;
    uint8_t buffer[4];
    DWORD got = 0;
    EXPECT_FALSE(newer.readFileReply(Hex("00000000 01000000 08000000 0102030405060708"), status, buffer, 4, got))
        << "more bytes than were asked for";
    EXPECT_EQ(got, 0u);
    EXPECT_FALSE(newer.readFileReply(Hex("00000000 01000000 04000000 0102"), status, buffer, 4, got));
    Bytes output;
    EXPECT_FALSE(newer.rapiInvokeReply(Hex("00000000 00000000 ffffff7f 00"), status, output));
    std::optional<RegistryValue> value;
    EXPECT_FALSE(newer.regQueryValueReply(Hex("00000000 00000000 04000000 08000000 2a000000"), status, value))
        << "a number of the wrong size";
    EXPECT_FALSE(older.status(Hex("00000000 0000"), status));
}

// The simulator's side refuses requests no desktop sends. (What it answers to
// real ones is LinkParity's: every call over the link in both dialects gives what
// the emulated device gives.)
TEST(RapiWire, TheHandheldSideRefusesRequestsThatMakeNoSense)
{
    testsupport::DeviceFolder folder;
    for (RapiDialect dialect : {RapiDialect::Rapi1, RapiDialect::Rapi2}) {
        RapiResponder responder(EmulatedDevice::open(folder.path()), dialect);
        EXPECT_FALSE(responder.answer(Hex("ee000000")).has_value()) << "an unknown command";
        EXPECT_FALSE(responder.answer(Hex(dialect == RapiDialect::Rapi1 ? "1c000000 01000000 ffffff00"
                                                                         : "2d000000 ffffff00 5c00"))
                         .has_value())
            << "a path longer than the request";
    }
}

#include "pavrixwm/CeWCHAR.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

TEST(CeWCHAR, LengthStopsAtTheFirstZeroUnit)
{
    const uint16_t empty[] = {0};
    const uint16_t three[] = {'a', 0x00E9, 0xD83D, 0, 'x', 0};
    EXPECT_EQ(CeWCHARLen(empty), 0u);
    EXPECT_EQ(CeWCHARLen(three), 3u);
}

TEST(CeWCHAR, SwapLeavesUnitsInLittleEndianOrderAndIsItsOwnInverse)
{
    uint16_t units[] = {0x0041, 0x1234, 0xFF00, 0};
    CeWCHARSwap(units);
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(units);
    const uint8_t expected[] = {0x41, 0x00, 0x34, 0x12, 0x00, 0xFF, 0x00, 0x00};
    EXPECT_EQ(std::memcmp(bytes, expected, sizeof expected), 0);

    CeWCHARHostToLittleEndian(units); // back to host order
    EXPECT_EQ(units[0], 0x0041);
    EXPECT_EQ(units[1], 0x1234);
    EXPECT_EQ(units[2], 0xFF00);
    EXPECT_EQ(units[3], 0);
}

struct TextCase {
    const char* utf8;
    std::vector<uint8_t> device;
};

TEST(CeWCHAR, Utf8ToDeviceTextByteTable)
{
    const std::vector<TextCase> cases = {
        {"", {0, 0}},
        {"abc", {'a', 0, 'b', 0, 'c', 0, 0, 0}},
        {"\xC3\xA9", {0xE9, 0x00, 0, 0}},                          // é
        {"\xE2\x82\xAC", {0xAC, 0x20, 0, 0}},                      // €
        {"\xF0\x9F\x98\x80", {0x3D, 0xD8, 0x00, 0xDE, 0, 0}},      // U+1F600 as a surrogate pair
        {"a\xFFz", {'a', 0, 0xFD, 0xFF, 'z', 0, 0, 0}},            // a stray byte
        {"\xC0\xAF", {0xFD, 0xFF, 0xFD, 0xFF, 0, 0}},              // overlong "/" is not a slash
        {"\xED\xA0\x80", {0xFD, 0xFF, 0xFD, 0xFF, 0xFD, 0xFF, 0, 0}}, // an encoded surrogate
        {"\xE2\x82", {0xFD, 0xFF, 0xFD, 0xFF, 0, 0}},              // cut short
    };
    for (const auto& c : cases)
        EXPECT_EQ(Utf8ToDeviceText(c.utf8), c.device) << c.utf8;
}

TEST(CeWCHAR, DeviceTextToUtf8ByteTable)
{
    struct Case {
        std::vector<uint8_t> device;
        std::optional<std::string> utf8;
    };
    const std::vector<Case> cases = {
        {{}, std::string()},
        {{'h', 0, 'i', 0}, std::string("hi")},                       // no terminator: up to the end
        {{'h', 0, 0, 0, 'x', 0}, std::string("h")},                   // stops at the zero unit
        {{0xE9, 0x00, 'x'}, std::string("\xC3\xA9")},                 // an odd last byte is ignored
        {{0x3D, 0xD8, 0x00, 0xDE}, std::string("\xF0\x9F\x98\x80")},
        {{0x3D, 0xD8}, std::nullopt},                                 // lone high surrogate
        {{0x00, 0xDE, 'a', 0}, std::nullopt},                         // lone low surrogate
        {{0x3D, 0xD8, 'a', 0}, std::nullopt},                         // high surrogate, no low one
    };
    for (const auto& c : cases)
        EXPECT_EQ(DeviceTextToUtf8(c.device.data(), c.device.size()), c.utf8);
}

TEST(CeWCHAR, RoundTripKeepsEveryValidText)
{
    for (std::string text : {"My Documents", "r\xC3\xA9sum\xC3\xA9.txt", "\xE6\x97\xA5\xE6\x9C\xAC", "\xF0\x9F\x98\x80!"}) {
        auto device = Utf8ToDeviceText(text);
        EXPECT_EQ(DeviceTextToUtf8(device.data(), device.size()), text);
    }
}

} // namespace

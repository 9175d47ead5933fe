// The other byte helpers: UTF-16 units and numbers read from the start of a text.

#include "platform/DecimalText.h"
#include "platform/UTF16.h"

#include <gtest/gtest.h>

#include <limits>

namespace {

TEST(UTF16, PairsJoinAndUnpairedSurrogatesAreRefusedOrReplaced)
{
    const std::string kFFFD = "\xEF\xBF\xBD";
    struct Case {
        std::vector<uint16_t> units;
        std::optional<std::string> refused; // under Refuse
        std::string replaced;               // under Replace
    };
    const Case cases[] = {
        {{}, "", ""},
        {{'a', 0xE9, 0x20AC}, "a\xC3\xA9\xE2\x82\xAC", "a\xC3\xA9\xE2\x82\xAC"},
        {{0xD83D, 0xDE00}, "\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},
        {{0xDBFF, 0xDFFF}, "\xF4\x8F\xBF\xBF", "\xF4\x8F\xBF\xBF"},
        {{0, 'a'}, std::string("\0a", 2), std::string("\0a", 2)},
        {{'a', 0xD83D}, std::nullopt, "a" + kFFFD},
        {{0xDE00, 'b'}, std::nullopt, kFFFD + "b"},
        {{0xD83D, 'b'}, std::nullopt, kFFFD + "b"},
        {{0xD83D, 0xD83D, 0xDE00}, std::nullopt, kFFFD + "\xF0\x9F\x98\x80"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(platform::UTF16ToUTF8(c.units, platform::UTF16Invalid::Refuse), c.refused) << c.replaced;
        EXPECT_EQ(platform::UTF16ToUTF8(c.units, platform::UTF16Invalid::Replace), c.replaced);
    }
}

TEST(DecimalText, PrefixSaturatesInsteadOfWrapping)
{
    constexpr int32_t kMin = std::numeric_limits<int32_t>::min();
    constexpr int32_t kMax = std::numeric_limits<int32_t>::max();
    struct Case {
        const char* text;
        bool hasDigits;
        bool overflow;
        uint64_t magnitude;
        size_t end;
        int32_t int32;
    };
    const Case cases[] = {
        {"", false, false, 0, 0, 0},
        {" \t\n-", false, false, 0, 4, 0},
        {"x12", false, false, 0, 0, 0},
        {"  -12abc", true, false, 12, 5, -12},
        {"+007", true, false, 7, 4, 7},
        {"2147483647", true, false, 2147483647, 10, kMax},
        {"2147483648", true, false, 2147483648u, 10, kMax},
        {"-2147483648", true, false, 2147483648u, 11, kMin},
        {"-2147483649", true, false, 2147483649u, 11, kMin},
        {"18446744073709551615", true, false, UINT64_MAX, 20, kMax},
        {"18446744073709551616", true, true, UINT64_MAX, 20, kMax},
        {"-99999999999999999999999 ", true, true, UINT64_MAX, 24, kMin},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        auto number = platform::ReadDecimalPrefix(c.text);
        EXPECT_EQ(number.hasDigits, c.hasDigits);
        EXPECT_EQ(number.overflow, c.overflow);
        EXPECT_EQ(number.magnitude, c.magnitude);
        EXPECT_EQ(number.end, c.end);
        EXPECT_EQ(platform::SaturatedInt32(number), c.int32);
    }
}

} // namespace

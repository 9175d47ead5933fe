// UTF-16 units to UTF-8 under each policy for what does not pair.

#include "platform/UTF16.h"

#include <gtest/gtest.h>

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

} // namespace

// The UTF-8 reader under each of its policies, and UTF-16 units to UTF-8. Each UTF-8
// row gives the bytes and what they read as when stray bytes are kept; the other
// policies follow from it: replacing turns each kept byte into U+FFFD, and the
// refusing policies accept the text exactly when nothing had to be kept (and, for
// bus text, no NUL).

#include "platform/UTF16.h"
#include "platform/UTF8.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>

using platform::kUTF8KeptByte;

namespace {

constexpr char32_t K = kUTF8KeptByte;

// bytes, and the code points kept (a byte of no character is K + the byte)
const std::pair<std::string, std::vector<char32_t>> kRows[] = {
    {"", {}},
    {"plain", {'p', 'l', 'a', 'i', 'n'}},
    {std::string("a\0b", 3), {'a', 0, 'b'}},
    {"caf\xC3\xA9", {'c', 'a', 'f', 0xE9}},
    {"\xDF\xBF", {0x7FF}},
    {"\xE0\xA0\x80", {0x800}},
    {"\xE2\x82\xAC", {0x20AC}},
    {"\xED\x9F\xBF", {0xD7FF}},          // just below the surrogates
    {"\xEE\x80\x80", {0xE000}},          // just above them
    {"\xF0\x9F\x98\x80", {0x1F600}},
    {"\xF4\x8F\xBF\xBF", {0x10FFFF}},
    {"\xF4\x90\x80\x80", {K + 0xF4, K + 0x90, K + 0x80, K + 0x80}}, // past U+10FFFF
    {"\xF5\x80\x80\x80", {K + 0xF5, K + 0x80, K + 0x80, K + 0x80}},
    {"\xC0\xAF", {K + 0xC0, K + 0xAF}},                               // overlong "/"
    {"\xC1\xBF", {K + 0xC1, K + 0xBF}},
    {"\xE0\x9F\xBF", {K + 0xE0, K + 0x9F, K + 0xBF}},                 // overlong, three bytes
    {"\xF0\x8F\xBF\xBF", {K + 0xF0, K + 0x8F, K + 0xBF, K + 0xBF}},   // overlong, four bytes
    {"\xED\xA0\x80", {K + 0xED, K + 0xA0, K + 0x80}},                 // a surrogate
    {"\xED\xBF\xBF", {K + 0xED, K + 0xBF, K + 0xBF}},
    {"x\xE2\x82", {'x', K + 0xE2, K + 0x82}},                         // cut at the end
    {"\xE2\x82x", {K + 0xE2, K + 0x82, 'x'}},                         // cut before ASCII
    {"\xC3\xC3\xA9", {K + 0xC3, 0xE9}},                               // a lead, then a whole character
    {"\x80\xBF", {K + 0x80, K + 0xBF}},                               // continuation bytes alone
    {"a\xFF" "b\xFE", {'a', K + 0xFF, 'b', K + 0xFE}},
};

std::vector<char32_t> Replaced(std::vector<char32_t> points)
{
    for (auto& cp : points)
        if (cp >= K)
            cp = platform::kUTF8Replacement;
    return points;
}

bool KeptNothing(const std::vector<char32_t>& points)
{
    return std::none_of(points.begin(), points.end(), [](char32_t cp) { return cp >= K; });
}

TEST(UTF8, EachPolicyOnTheSameBytes)
{
    for (const auto& [bytes, kept] : kRows) {
        SCOPED_TRACE(testing::PrintToString(bytes));
        EXPECT_EQ(platform::DecodeUTF8(bytes, platform::kUTF8KeepingBytes), kept);
        EXPECT_EQ(platform::DecodeUTF8(bytes, platform::kUTF8Replacing), Replaced(kept));

        bool wellFormed = KeptNothing(kept);
        bool hasNul = bytes.find('\0') != std::string::npos;
        EXPECT_EQ(platform::IsValidUTF8(bytes), wellFormed);
        EXPECT_EQ(platform::IsValidUTF8(bytes, platform::kUTF8BusText), wellFormed && !hasNul);
        using Points = std::optional<std::vector<char32_t>>;
        EXPECT_EQ(platform::DecodeUTF8(bytes, platform::kUTF8Strict), wellFormed ? Points(kept) : std::nullopt);
    }
}

TEST(UTF16, PairsJoinAndUnpairedSurrogatesAreRefusedOrReplaced)
{
    const std::string kFFFD = "\xEF\xBF\xBD";
    // units, the text under Refuse, the text under Replace
    const std::tuple<std::vector<uint16_t>, std::optional<std::string>, std::string> cases[] = {
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
    for (const auto& [units, refused, replaced] : cases) {
        EXPECT_EQ(platform::UTF16ToUTF8(units, platform::UTF16Invalid::Refuse), refused) << replaced;
        EXPECT_EQ(platform::UTF16ToUTF8(units, platform::UTF16Invalid::Replace), replaced);
    }
}

} // namespace

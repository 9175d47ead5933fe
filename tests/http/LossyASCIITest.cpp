// Answers go out as ASCII: each character ASCII lacks becomes one "?", each byte
// that is no part of a well-formed UTF-8 character one "?" too.

#include "http/LossyASCII.h"

#include <gtest/gtest.h>

TEST(LossyASCII, OneQuestionMarkPerCharacterOrStrayByte)
{
    const std::pair<std::string, std::string> cases[] = {
        {"", ""},
        {"plain <D:href>/a b</D:href>\n", "plain <D:href>/a b</D:href>\n"},
        {"\xC3\xA9t\xC3\xA9", "?t?"}, {"\xE2\x82\xAC 5", "? 5"}, {"\xF0\x9F\x98\x80!", "?!"}, {"a\xFF" "b", "a?b"},
        {"\xC0\xAF", "??"},         // overlong
        {"\xED\xA0\x80", "???"},     // surrogate
        {"x\xE2\x82", "x??"},        // cut at the end
        {"\xE2\x82x", "??x"},        // cut before an ASCII byte
        {std::string("a\0b", 3), std::string("a\0b", 3)},
    };
    for (const auto& [in, out] : cases)
        EXPECT_EQ(LossyASCII(in), out) << in;
}

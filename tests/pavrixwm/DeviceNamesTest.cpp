#include "pavrixwm/DeviceNames.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace {

TEST(DeviceNames, EqualityIgnoresLetterCaseOnly)
{
    struct Case {
        const char* a;
        const char* b;
        bool equal;
    };
    const Case cases[] = {
        {"My Documents", "my documents", true},
        {"README.TXT", "readme.txt", true},
        {"R\xC3\xA9sum\xC3\xA9", "r\xC3\x89SUM\xC3\x89", true}, // é / É
        {"\xD0\x9F\xD1\x80\xD0\xB8", "\xD0\xBF\xD0\xA0\xD0\x98", true}, // Cyrillic
        {"a.txt", "a.txt ", false},
        {"a", "\xC3\xA1", false},
        {"abc", "abd", false},
        {"x\xFF", "X\xFF", true},  // invalid bytes stay themselves
        {"x\xFF", "x\xFE", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(DeviceNamesEqual(c.a, c.b), c.equal) << c.a << " / " << c.b;
}

TEST(DeviceNames, ListingOrderIsCaseInsensitiveAndTotal)
{
    std::vector<std::string> names = {"b.txt", "A.txt", "a.txt", "_x", "C", "\xC3\xA9t\xC3\xA9", "Z"};
    std::sort(names.begin(), names.end(), DeviceNameLess);
    // Lower-cased, "_" (0x5F) sorts before every letter.
    const std::vector<std::string> expected = {"_x", "A.txt", "a.txt", "b.txt", "C", "Z", "\xC3\xA9t\xC3\xA9"};
    EXPECT_EQ(names, expected);
}

TEST(DeviceNames, PatternMatching)
{
    struct Case {
        const char* pattern;
        const char* name;
        bool matches;
    };
    const Case cases[] = {
        {"*", "anything", true},       {"*", ".hidden", true},        {"*.*", "noextension", true},
        {"*.txt", "A.TXT", true},      {"*.txt", "a.txt.bak", false}, {"a?c", "abc", true},
        {"a?c", "ac", false},          {"a*c", "abbbbc", true},       {"a*c", "abbbbd", false},
        {"*b*", "abc", true},          {"*a*a*a*a*b", "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", false},
        {"exact", "EXACT", true},      {"\xC3\x89*", "\xC3\xA9t\xC3\xA9", true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(DeviceNameMatches(c.pattern, c.name), c.matches) << c.pattern << " ~ " << c.name;
}

TEST(DeviceNames, ValidNames)
{
    for (const char* name : {"a.txt", "My Documents", ".hidden", "r\xC3\xA9sum\xC3\xA9", "a b#c%d&e"})
        EXPECT_TRUE(IsValidDeviceName(name)) << name;
    for (const char* name : {"", ".", "..", "a/b", "a\\b", "a:b", "a*", "a?", "a\"b", "<a>", "a|b", "tab\there"})
        EXPECT_FALSE(IsValidDeviceName(name)) << name;
}

} // namespace

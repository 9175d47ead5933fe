// The byte rules of the device store: URIs to device paths and back, metafile
// names, and the strict encoding conversions under them.

#include "device/Metafile.h"
#include "device/WinceDataSource.h"
#include "platform/TextEncoding.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <optional>

using platform::TextEncoding;

namespace {

// A store with no device attached: mapping never asks the device.
struct MappingStore {
    testsupport::TempDir mirror;
    WinceDataSource store{std::make_shared<Rapi>(nullptr), mirror.path()};
};

struct UriCase {
    const char* uri;
    std::optional<std::string> device;
};

} // namespace

TEST(WincePathMapping, UriToLocal)
{
    const UriCase cases[] = {
        {"/vol/", "\\"},
        {"/vol/My%20Documents/", "\\My Documents"},
        {"/vol/a/b", "\\a\\b"},
        {"/other/a", "\\a"},
        // Inner doubled separators stay; trailing ones go, the root keeps its one.
        {"/vol/a//b//", "\\a\\\\b"},
        {"/vol//", "\\"},
        {"/vol/r%C3%A9sum%C3%A9.txt", "\\r\xC3\xA9sum\xC3\xA9.txt"},
        {"/vol/r%c3%a9sum%c3%a9.txt", "\\r\xC3\xA9sum\xC3\xA9.txt"},
        // Decoding comes after the separators are made and the end trimmed.
        {"/vol/a%2Fb", "\\a/b"},
        {"/vol/a%5Cb", "\\a\\b"},
        {"/vol/a%5C", "\\a\\"},
        {"/vol/%41%62c", "\\Abc"},
        {"/vol/100%", "\\100%"},
        {"/vol/%zz%4", "\\%zz%4"},
        {"/vol/a%2", "\\a%2"},
        // Mac OS Roman holds the euro sign; it survives the round trip unchanged.
        {"/vol/%E2%82%AC", "\\\xE2\x82\xAC"},
        // Outside Mac OS Roman the text stays UTF-8, whole.
        {"/vol/%E6%BC%A2%E5%AD%97", "\\\xE6\xBC\xA2\xE5\xAD\x97"},
        {"/vol/e%CC%81", "\\e\xCC\x81"},
        // Bytes that are not UTF-8 are read as ASCII; what ASCII lacks becomes U+FFFD.
        {"/vol/%FFA", "\\\xEF\xBF\xBD" "A"},
        {"/vol/%C0%AF", "\\\xEF\xBF\xBD\xEF\xBF\xBD"},
        {"/vol/%ED%A0%80", "\\\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
        // No "/" after the volume segment: nothing to map.
        {"/vol", std::nullopt},
        {"/", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& c : cases) {
        MappingStore m;
        EXPECT_EQ(m.store.uriToLocal(c.uri), c.device) << c.uri;
    }
}

TEST(WincePathMapping, TheFirstVolumeSegmentNamesEveryListing)
{
    MappingStore m;
    EXPECT_EQ(m.store.uriToLocal("/vol"), std::nullopt);
    EXPECT_EQ(m.store.volumePrefix(), std::nullopt) << "an unmappable URI sets no volume";

    EXPECT_EQ(m.store.uriToLocal("/vol/x"), "\\x");
    EXPECT_EQ(m.store.volumePrefix(), "/vol");
    EXPECT_EQ(m.store.uriToLocal("/other/y"), "\\y");
    EXPECT_EQ(m.store.volumePrefix(), "/vol");
    EXPECT_EQ(m.store.localToUri("\\y"), "/vol/y");
}

TEST(WincePathMapping, LocalToUri)
{
    const std::pair<const char*, const char*> cases[] = {
        {"\\My Documents\\a#b.txt", "/vol/My%20Documents/a%23b.txt"},
        {"\\a b\\c&d", "/vol/a%20b/c%26d"},
        {"\\r\xC3\xA9sum\xC3\xA9.txt", "/vol/r%C3%A9sum%C3%A9.txt"},
        // Kept: printable ASCII up to "z" but the characters URIs and XML reserve.
        {"\\!$'()*+,-./09AZ_az", "/vol/!$'()*+,-./09AZ_az"},
        {"\\\"%:;<=>?@[]^`{|}~", "/vol/%22%25%3A%3B%3C%3D%3E%3F%40%5B%5D%5E%60%7B%7C%7D%7E"},
        // Hexadecimal without a leading zero, as the answers have always carried it.
        {"\\a\tb\x01\x7F", "/vol/a%9b%1%7F"},
        {"\\a\\\\b", "/vol/a//b"},
        // A literal "%5c" in a name is escaped first, so it never turns into "/".
        {"\\x%5cy", "/vol/x%255cy"},
    };
    MappingStore m;
    ASSERT_EQ(m.store.uriToLocal("/vol/"), "\\");
    for (const auto& [device, uri] : cases)
        EXPECT_EQ(m.store.localToUri(device), uri) << device;
}

TEST(WincePathMapping, RoundTripOfListedNames)
{
    MappingStore m;
    ASSERT_TRUE(m.store.uriToLocal("/vol/"));
    for (const char* device : {"\\My Documents\\a#b.txt", "\\r\xC3\xA9sum\xC3\xA9\\%41 100%.txt",
                               "\\\xE6\xBC\xA2\\[x]&{y}"}) {
        std::string uri = m.store.localToUri(device);
        EXPECT_EQ(m.store.uriToLocal(uri), device) << uri;
    }
}

TEST(WincePathMapping, IsMetafile)
{
    const std::pair<const char*, bool> cases[] = {
        {"/vol/._Notes.txt", true},
        {"/vol/a/.DS_Store", true},
        {"/vol/.DS_Store_old", true},
        {"/vol/a/b/._", true},
        {"._x", true},
        {"/vol/a._b", false},
        {"/vol/._dir/", false},
        {"/vol/x.DS_Store", false},
        {"/vol/.ds_store", false},
        {"/vol/.DS_Stor", false},
        {"/vol/.hidden", false},
        {"/vol/_.x", false},
        {"/vol/", false},
        {"", false},
    };
    for (const auto& [uri, expected] : cases)
        EXPECT_EQ(IsMetafile(uri), expected) << uri;
}

TEST(TextEncoding, StrictConversions)
{
    struct Case {
        std::string text;
        TextEncoding from, to;
        std::optional<std::string> result;
    };
    const Case cases[] = {
        {"plain", TextEncoding::UTF8, TextEncoding::MacOSRoman, "plain"},
        {"\xC3\xA9", TextEncoding::UTF8, TextEncoding::MacOSRoman, "\x8E"},
        {"\xE2\x82\xAC", TextEncoding::UTF8, TextEncoding::MacOSRoman, "\xDB"},
        {"\x8E\xDB", TextEncoding::MacOSRoman, TextEncoding::UTF8, "\xC3\xA9\xE2\x82\xAC"},
        {"\xE6\xBC\xA2", TextEncoding::UTF8, TextEncoding::MacOSRoman, std::nullopt},
        {"a\xFF", TextEncoding::UTF8, TextEncoding::UTF8, std::nullopt},
        {"\xC0\x80", TextEncoding::UTF8, TextEncoding::MacOSRoman, std::nullopt},
        {"a\x80", TextEncoding::ASCII, TextEncoding::UTF8, std::nullopt},
        {"\xC3\xA9", TextEncoding::UTF8, TextEncoding::ASCII, std::nullopt},
        {std::string("a\0b", 3), TextEncoding::UTF8, TextEncoding::MacOSRoman, std::string("a\0b", 3)},
        {"", TextEncoding::UTF8, TextEncoding::MacOSRoman, ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(platform::ConvertText(c.text, c.from, c.to), c.result) << c.text;
}

TEST(TextEncoding, Utf8Validity)
{
    const std::pair<std::string, bool> cases[] = {
        {"", true},
        {"abc", true},
        {"\xC3\xA9", true},
        {"\xF0\x9F\x98\x80", true},
        {"\xF4\x8F\xBF\xBF", true},
        {"\xF4\x90\x80\x80", false}, // past U+10FFFF
        {"\xED\xA0\x80", false},     // a surrogate
        {"\xE0\x80\xAF", false},     // overlong
        {"\xC1\xBF", false},
        {"\xC3", false},             // cut short
        {"\x80", false},
        {"\xF8\x88\x80\x80\x80", false},
    };
    for (const auto& [bytes, valid] : cases)
        EXPECT_EQ(platform::IsValidUTF8(bytes), valid) << testing::PrintToString(bytes);
    EXPECT_STREQ(platform::TextEncodingDisplayName(TextEncoding::MacOSRoman), "Western (Mac OS Roman)");
    EXPECT_STREQ(platform::TextEncodingDisplayName(TextEncoding::UTF8), "Unicode (UTF-8)");
}

// The byte rules of the device store: URIs to device paths and back, and
// metafile names.

#include "device/Metafile.h"
#include "device/WinceDataSource.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

namespace {

// No device attached: mapping never asks the device.
struct MappingStore {
    testsupport::TempDir mirror;
    WinceDataSource store{std::make_shared<Rapi>(nullptr), mirror.path()};
};

} // namespace

TEST(WincePathMapping, UriToLocal)
{
    const std::pair<const char*, std::optional<std::string>> cases[] = {
        {"/vol/", "\\"},
        {"/vol/My%20Documents/", "\\My Documents"},
        {"/other/a/b", "\\a\\b"},
        {"/vol/a//b//", "\\a\\\\b"}, // inner doubles stay, trailing ones go
        {"/vol//", "\\"},
        {"/vol/r%C3%A9sum%c3%a9.txt", "\\r\xC3\xA9sum\xC3\xA9.txt"},
        // Decoding comes after the separators are made and the end trimmed.
        {"/vol/a%2Fb", "\\a/b"},
        {"/vol/a%5Cb", "\\a\\b"},
        {"/vol/a%5C", "\\a\\"},
        {"/vol/100%/%zz%4%2", "\\100%\\%zz%4%2"},
        {"/vol/%E2%82%AC", "\\\xE2\x82\xAC"},                 // in Mac OS Roman
        {"/vol/%E6%BC%A2e%CC%81", "\\\xE6\xBC\xA2" "e\xCC\x81"}, // not: stays UTF-8
        // Not UTF-8 (a stray byte, an overlong form, a surrogate): read as ASCII,
        // each byte ASCII lacks a U+FFFD, never a "?" that a find takes as a wildcard.
        {"/vol/%FFA", "\\\xEF\xBF\xBD" "A"},
        {"/vol/%C0%AF", "\\\xEF\xBF\xBD\xEF\xBF\xBD"},
        {"/vol/%ED%A0%80", "\\\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
        {"/vol", std::nullopt}, // the bare volume is the root for reads only
        {"/", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& [uri, device] : cases) {
        MappingStore m;
        EXPECT_EQ(m.store.uriToLocal(uri), device) << uri;
    }

    // The first mappable URI names the volume of every listing.
    MappingStore m;
    m.store.uriToLocal("/vol");
    EXPECT_EQ(m.store.device().volumePrefix(), std::nullopt);
    m.store.uriToLocal("/vol/x");
    m.store.uriToLocal("/other/y");
    EXPECT_EQ(m.store.localToUri("\\y"), "/vol/y");
}

TEST(WincePathMapping, LocalToUriAndBack)
{
    const std::pair<const char*, const char*> cases[] = {
        {"\\My Documents\\a#b.txt", "/vol/My%20Documents/a%23b.txt"},
        {"\\a b\\c&d", "/vol/a%20b/c%26d"},
        {"\\r\xC3\xA9sum\xC3\xA9.txt", "/vol/r%C3%A9sum%C3%A9.txt"},
        {"\\!$'()*+,-./09AZ_az", "/vol/!$'()*+,-./09AZ_az"},
        {"\\\"%:;<=>?@[]^`{|}~", "/vol/%22%25%3A%3B%3C%3D%3E%3F%40%5B%5D%5E%60%7B%7C%7D%7E"},
        {"\\a\tb\x01\x7F", "/vol/a%9b%1%7F"}, // no leading zero
        {"\\x%5cy", "/vol/x%255cy"},          // a literal "%5c" never becomes "/"
    };
    MappingStore m;
    ASSERT_EQ(m.store.uriToLocal("/vol/"), "\\");
    for (const auto& [device, uri] : cases) {
        EXPECT_EQ(m.store.localToUri(device), uri) << device;
        if (std::string(device).find_first_of("/\t\x01\x7F") == std::string::npos) {
            EXPECT_EQ(m.store.uriToLocal(uri), device) << uri;
        }
    }
}

TEST(WincePathMapping, IsMetafile)
{
    const std::pair<const char*, bool> cases[] = {
        {"/vol/._Notes.txt", true}, {"/vol/a/.DS_Store", true}, {"/vol/.DS_Store_old", true},
        {"/vol/a/b/._", true},      {"/vol/a._b", false},       {"/vol/._dir/", false},
        {"/vol/x.DS_Store", false}, {"/vol/.ds_store", false},  {"/vol/.hidden", false},
        {"", false},
    };
    for (const auto& [uri, expected] : cases)
        EXPECT_EQ(IsMetafile(uri), expected) << uri;
}

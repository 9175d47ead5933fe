// The byte rules of the device store: URIs to device paths, and metafile names.

#include "device/Metafile.h"
#include "device/WinceDataSource.h"
#include "pavrixwm/Rapi.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

namespace {

// No device attached: mapping never asks the device.
struct MappingStore {
    testsupport::TempDir mirror;
    Rapi unattached{nullptr};
    WinceDataSource store{unattached, mirror.path()};
};

} // namespace

TEST(WincePathMapping, UriToLocal)
{
    const std::pair<const char*, std::optional<std::string>> cases[] = {
        {"/vol", std::nullopt}, {"/", std::nullopt}, {"", std::nullopt}, // the bare volume is the root for reads only
        {"/vol/", "\\"}, {"/vol//", "\\"}, {"/other/a/b", "\\a\\b"},
        {"/vol/a//b//", "\\a\\\\b"}, // inner doubles stay, trailing ones go
        {"/vol/r%C3%A9sum%c3%a9.txt", "\\r\xC3\xA9sum\xC3\xA9.txt"},
        // Decoding comes after the separators are made and the end trimmed.
        {"/vol/a%2Fb", "\\a/b"}, {"/vol/a%5Cb", "\\a\\b"}, {"/vol/a%5C", "\\a\\"},
        {"/vol/100%/%zz%4%2", "\\100%\\%zz%4%2"},
        // Not UTF-8 (a stray byte, an overlong form, a surrogate): read as ASCII,
        // each byte ASCII lacks a U+FFFD, never a "?" that a find takes as a wildcard.
        {"/vol/%FFA", "\\\xEF\xBF\xBD" "A"}, {"/vol/%C0%AF", "\\\xEF\xBF\xBD\xEF\xBF\xBD"},
        {"/vol/%ED%A0%80", "\\\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
    };
    MappingStore m;
    for (const auto& [uri, device] : cases)
        EXPECT_EQ(m.store.uriToLocal(uri), device) << uri;
    // The first mappable URI ("/vol/", the bare volume maps nothing) names the
    // volume of every listing. The way back, and that it gives text an answer can
    // carry, is the round trip fuzz_uri_mapping checks.
    EXPECT_EQ(m.store.localToUri("\\y"), "/vol/y");
}

TEST(WincePathMapping, IsMetafile)
{
    // Decided on the name the device would be given: escapes decoded, letter case
    // folded, trailing separators dropped, escaped separators taken as separators.
    for (const char* uri : {"/vol/._Notes.txt", "/vol/a/.DS_Store", "/vol/.DS_Store_old", "/vol/a/b/._",
                            "/vol/%2E_enc", "/vol/.%5Fenc", "/vol/%2EDS_Store", "/vol/.DS_STORE", "/vol/.ds_store",
                            "/vol/My%20Documents%2F._x", "/vol/a%5C._x", "/vol/._dir/", "/vol/._dir//"})
        EXPECT_TRUE(IsMetafile(uri)) << uri;
    for (const char* uri : {"/vol/a._b", "/vol/x.DS_Store", "/vol/.hidden", "/vol/._x/a", "/vol/%2E%2Ex", "/vol/.%5",
                            ""})
        EXPECT_FALSE(IsMetafile(uri)) << uri;
}

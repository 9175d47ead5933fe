// The byte rules of the device store (URIs to device paths, and metafile names), and
// the metafile mirror over real temporary folders. The mirror's listings, refusals
// and the parents it makes for a PUT or a MOVE are checked end to end.

#include "WinceTestSupport.h"
#include "device/Metafile.h"
#include "device/UnixMirroredFSDataSource.h"

#include <algorithm>
#include <filesystem>
#include <sys/stat.h>

using namespace wincetest;

namespace {

// No device attached: mapping never asks the device.
struct MappingStore {
    TempDir mirror;
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

// After a hang-up removed the mirror, a change still in flight makes none of its
// folders again, the mirror's own least of all. (A file in the way, or a move with
// nowhere to go, are data-safety rows end to end; paths climbing out never map:
// the local store's confinement, which fuzz_uri_mapping checks.)
TEST(UnixMirroredFSDataSource, ChangesAfterTheMirrorWasRemovedRemakeNothing)
{
    TempDir top;
    UnixMirroredFSDataSource store(top / "pxwm_mirroredfs");
    EXPECT_FALSE(store.putDataFromFile("/vol/._top", *ClientBody("x", 1), 1));
    EXPECT_FALSE(store.putDataFromFile("/vol/a/._deep", *ClientBody("x", 1), 1));
    EXPECT_EQ(store.mkCollection("/vol/a/._dir"), StoreStatus::Refused);
    EXPECT_EQ(store.move("/vol/a/._top", std::string("/vol/b/._top")), StoreStatus::NotMoved);
    EXPECT_TRUE(EntryNames(top.path()).empty());
}

// What stands in the mirror besides files and folders (a link planted there, a
// FIFO, a link to a device node) is never opened, read, written through or
// listed: each read finds nothing at once, each change stays inside the mirror.
TEST(UnixMirroredFSDataSource, ServesAndWritesRegularFilesOnly)
{
    TempDir top;
    const std::string root = top / "pxwm_mirroredfs";
    MakeDirs(root);
    WriteFile(top / "secret", "secret");
    MakeDirs(top / "outside");
    namespace fsys = std::filesystem;
    fsys::create_symlink(top / "secret", root + "/._link");
    fsys::create_symlink("/dev/zero", root + "/._zero");
    fsys::create_symlink(top / "outside", root + "/linked");
    ASSERT_EQ(::mkfifo((root + "/._fifo").c_str(), 0600), 0);
    WriteFile(root + "/._plain", "plain");
    UnixMirroredFSDataSource store(root);

    for (const char* uri : {"/vol/._link", "/vol/._zero", "/vol/._fifo", "/vol/linked/._x"}) {
        SCOPED_TRACE(uri);
        EXPECT_FALSE(store.isFile(uri));
        EXPECT_THROW(store.getDataFile(uri), std::exception);
        EXPECT_THROW(store.getData(uri), std::exception);
    }
    EXPECT_TRUE(store.exists("/vol/._fifo")) << "something stands there, so nothing is made over it unasked";
    EXPECT_EQ(store.mkCollection("/vol/._fifo"), StoreStatus::Exists);

    // Changes through a linked folder fail. (A link at the name is replaced itself:
    // the data-safety rows end to end.)
    EXPECT_FALSE(store.putDataFromFile("/vol/linked/._x", *ClientBody("x", 1), 1));
    EXPECT_EQ(store.mkCollection("/vol/linked/._d"), StoreStatus::Refused);
    EXPECT_EQ(store.move("/vol/._plain", std::string("/vol/linked/._p")), StoreStatus::NotMoved);
    EXPECT_TRUE(EntryNames(top / "outside").empty());

    // Only the regular files are listed; the linked folder lists nothing.
    auto listed = store.getChildren("/vol/");
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0].name, "/vol/._plain");
    EXPECT_TRUE(store.getChildren("/vol/linked/").empty());
    // Deleting a link removes the link, never its target.
    EXPECT_EQ(store.delete_("/vol/._link"), StoreStatus::Done);
    EXPECT_FALSE(PathExists(root + "/._link"));
    EXPECT_EQ(ReadFile(top / "secret"), "secret");
}

// A URI names the same mirror file however it spells the name: escapes decoded,
// folders without regard to letter case, a folder made by MKCOL found again by
// any spelling of its name.
TEST(UnixMirroredFSDataSource, EverySpellingOfANameFindsTheSameFile)
{
    TempDir top;
    const std::string root = top / "pxwm_mirroredfs";
    MakeDirs(root);
    UnixMirroredFSDataSource store(root);
    EXPECT_TRUE(store.putDataFromFile("/vol/My%20Documents/._r%C3%A9sum%C3%A9", *ClientBody("x", 1), 1));
    EXPECT_EQ(ReadFile(root + "/my documents/._r\xc3\xa9sum\xc3\xa9"), "x");
    for (const char* uri : {"/vol/My Documents/._r\xc3\xa9sum\xc3\xa9", "/vol/MY%20DOCUMENTS/._r%c3%a9sum%c3%a9",
                            "/vol/my%20documents%2F._r\xc3\xa9sum\xc3\xa9", "/vol/my documents%5C._r%C3%A9sum%C3%A9"})
        EXPECT_TRUE(store.isFile(uri)) << uri;
    EXPECT_FALSE(store.isFile("/vol/My%20Documents/._R%C3%A9sum%C3%A9")) << "a file's own name keeps its case";

    EXPECT_EQ(store.mkCollection("/vol/._Dir"), StoreStatus::Created);
    EXPECT_EQ(store.mkCollection("/vol/._DIR/"), StoreStatus::Exists);
    EXPECT_TRUE(store.isDirectory("/vol/._dIr"));
    EXPECT_EQ(store.delete_("/vol/._DIR"), StoreStatus::Done);
    EXPECT_FALSE(PathExists(root + "/._dir"));
    // (That no name climbs out or hides a NUL is what fuzz_uri_mapping checks.)
}

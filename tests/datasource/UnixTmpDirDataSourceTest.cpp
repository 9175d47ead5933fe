// The local directory store over real temporary folders: URI mapping, listings and
// properties, and what each change answers and leaves on disk, including refusals,
// paths that would climb out of the root and names a shell would have interpreted.

#include "datasource/UnixTmpDirDataSource.h"

#include "datasource/StoreTestHelpers.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

using namespace testsupport;
using namespace storetest;
using Names = std::vector<std::string>;
using namespace std::string_literals;

constexpr const char* kCollection = "<D:collection/>";
constexpr const char* kDec2014 = "Mon, 01 Dec 2014 00:00:00 GMT";

// A root holding "file" and "dir/sub/x", with a folder beside it; after every test,
// nothing outside the root may have changed.
struct UnixTmpDirDataSourceTest : ::testing::Test {
    TempDir top;
    std::string root = top / "-root";
    UnixTmpDirDataSource store{root};
    UnixTmpDirDataSourceTest()
    {
        MakeDirs(root + "/dir/sub");
        WriteFile(at("dir/sub/x"), "X");
        WriteFile(at("file"), "0123456789");
        MakeDirs(top / "outdir");
        WriteFile(top / "outdir/precious", "keep");
    }
    void TearDown() override
    {
        EXPECT_EQ(EntryNames(top.path()), (Names{"-root", "outdir"}));
        EXPECT_EQ(EntryNames(top / "outdir"), Names{"precious"});
        EXPECT_EQ(ReadFile(top / "outdir/precious"), "keep");
    }
    std::string at(const std::string& relative) const { return root + "/" + relative; }
};

TEST_F(UnixTmpDirDataSourceTest, MappingKeepsTheFirstVolumeAndNeverLeavesTheRoot)
{
    EXPECT_EQ(store.localToUri(at("a")), std::nullopt) << "no volume before the first mapping";
    // Without a "/" after the volume there is no path, and no volume is taken.
    for (const char* uri : {"/vol", "", "/", "x"})
        EXPECT_EQ(store.uriToLocal(uri), std::nullopt) << uri;
    EXPECT_EQ(store.volume(), std::nullopt);

    // Percent escapes name files as they stand; ".." and NUL would leave the root.
    const std::pair<std::string, std::string> cases[] = {
        {"/vol/a/b.txt", at("a/b.txt")}, {"/other/c", at("c")}, {"/vol/", root}, {"/vol/a//b//", at("a/b")},
        {"/vol/My%20Documents/x%2Fy", at("My%20Documents/x%2Fy")}, {"/vol/.../%2e%2e/a..b", at(".../%2e%2e/a..b")},
    };
    for (const auto& [uri, local] : cases)
        EXPECT_EQ(store.uriToLocal(uri), local) << uri;
    const std::string outside[] = {"/vol/..", "/vol/a/../../x", "/vol//..//x", "/vol/..\0/x"s, "/vol/a\0b"s};
    for (const auto& uri : outside)
        EXPECT_EQ(store.uriToLocal(uri), std::nullopt) << uri;
    EXPECT_EQ(store.localToUri(at("c")), "/vol/c");
    EXPECT_EQ(UnixTmpDirDataSource().uriToLocal("/v/etc/hosts"), "/etc/hosts"); // over the file-system root
}

TEST_F(UnixTmpDirDataSourceTest, ListingKindsAndProperties)
{
    WriteFile(at("dir/empty"), "");
    WriteFile(at("dir/five"), "12345");
    WriteFile(at("dir/big"), "");
    std::filesystem::resize_file(at("dir/big"), 5LL * 1024 * 1024 * 1024 + 7); // sparse: takes no room
    std::filesystem::permissions(at("dir/empty"), std::filesystem::perms(0640));
    const timespec dec2014[2] = {{1417392000, 0}, {1417392000, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, at("dir/empty").c_str(), dec2014, 0), 0);
    std::filesystem::create_directory_symlink(top.path(), at("dir/link"));

    std::map<std::string, DataSource::ChildRecord> listed;
    for (auto record : store.getChildren("/vol/dir/")) {
        record.erase("creationdate"); // only where the file system keeps birth times
        listed[record.at("name")] = record;
    }
    ASSERT_EQ(listed.size(), 5u);
    // An empty file's record carries no size; 416 is 0640.
    EXPECT_EQ(listed.at("/vol/dir/empty"), (DataSource::ChildRecord{{"name", "/vol/dir/empty"}, {"resourcetype", ""},
                                                {"attributes", "416"}, {"getlastmodified", kDec2014}}));
    EXPECT_EQ(listed.at("/vol/dir/sub").at("resourcetype"), kCollection);
    EXPECT_EQ(listed.at("/vol/dir/five").at("getcontentlength"), "5");
    EXPECT_EQ(listed.at("/vol/dir/link").at("resourcetype"), "") << "a link is listed as itself";
    EXPECT_TRUE(store.isDirectory("/vol/dir/link")) << "kinds follow links";
    for (const char* uri : {"/vol/missing/", "/vol/dir/five", "/vol", "/vol/../"})
        EXPECT_TRUE(store.getChildren(uri).empty()) << uri;

    // "creationdate" is listed but has no handler here.
    const std::tuple<const char*, const char*, std::optional<std::string>> properties[] = {
        {"resourcetype", "/vol/dir/five", ""}, {"resourcetype", "/vol/dir/", kCollection},
        {"getcontentlength", "/vol/dir/empty", "0"}, {"getcontentlength", "/vol/dir/big", "5368709127"},
        {"getcontenttype", "/vol/missing", "text/html"}, {"getlastmodified", "/vol/dir/empty", kDec2014},
        {"creationdate", "/vol/dir/five", std::nullopt}, {"quota", "/vol/dir/five", std::nullopt},
    };
    for (const auto& [name, uri, value] : properties)
        EXPECT_EQ(store.getProperty(name, uri), value) << name << " " << uri;
    for (const char* name : {"resourcetype", "getcontentlength", "getlastmodified"})
        for (const char* uri : {"/vol/missing", "/vol", "/vol/../"})
            EXPECT_EQ(RaisedName([&] { store.getProperty(name, uri); }), kDAVNotFoundException) << name << uri;
}

TEST_F(UnixTmpDirDataSourceTest, PutAndGetDataAndRefusalsStoreNothing)
{
    const std::string binary("a\0b\r\n\xff", 6);
    std::filesystem::create_symlink(at("gone"), at("dangling"));
    EXPECT_TRUE(store.putData(Bytes(binary), "/vol/new"));
    EXPECT_TRUE(store.putData(Bytes("abc"), "/vol/file"));
    EXPECT_TRUE(store.putData(nullptr, "/vol/none"));
    EXPECT_EQ(Text(store.getData("/vol/new")), binary);
    EXPECT_EQ(ReadFile(at("file")), "abc") << "the old tail must be cut off";
    EXPECT_EQ(Text(store.getData("/vol/none")), "");
    for (const char* uri : {"/vol/dir/", "/vol/", "/vol/missing", "/vol", "/vol/../outdir/precious"})
        EXPECT_EQ(RaisedName([&] { store.getData(uri); }), kDAVNotFoundException) << uri;

    // A directory in the way, a missing parent, a file as parent, a link to nowhere, no path, outside the root.
    for (const char* uri : {"/vol/dir", "/vol/dir/", "/vol/missing/x", "/vol/file/x", "/vol/dangling", "/vol",
                            "/vol/../escape", "/vol/dir/../../outdir/precious"})
        EXPECT_FALSE(store.putData(Bytes("data"), uri)) << uri;
    EXPECT_EQ(EntryNames(root), (Names{"dangling", "dir", "file", "new", "none"}));
    EXPECT_EQ(EntryNames(at("dir")), Names{"sub"});
}

TEST_F(UnixTmpDirDataSourceTest, MkcolMakesOneFolderAndDeleteRemovesWholeFoldersAndLinks)
{
    const std::pair<const char*, int> cases[] = {
        {"/vol/new", 201}, {"/vol/dir/new/", 201}, {"/vol/file", 405}, {"/vol/dir", 405}, {"/vol/new", 405},
        {"/vol/missing/sub", 403}, {"/vol/file/sub", 403}, {"/vol", 403}, {"/vol/../made", 403},
        {"/vol/dir/../../outdir/made", 403},
    };
    for (const auto& [uri, status] : cases)
        EXPECT_EQ(store.mkCollection(uri), status) << uri;
    EXPECT_EQ(EntryNames(root), (Names{"dir", "file", "new"}));
    EXPECT_EQ(EntryNames(at("dir")), (Names{"new", "sub"}));

    // A link to a folder outside goes, the folder stays.
    std::filesystem::create_directory_symlink(top / "outdir", at("link"));
    for (const char* uri : {"/vol/file", "/vol/dir/", "/vol/new", "/vol/link", "/vol/missing", "/vol/missing/deeper/",
                            "/vol/../outdir", "/vol/..", "/vol/x/../../outdir/", "/vol"})
        EXPECT_EQ(store.delete_(uri), 204) << uri;
    EXPECT_TRUE(EntryNames(root).empty());
}

TEST_F(UnixTmpDirDataSourceTest, MoveRenamesReplacesAndRefuses)
{
    WriteFile(at("b"), "B");
    // The second move replaces a file; a missing parent, a missing source, no path or
    // either side outside the root is refused.
    const std::tuple<const char*, std::optional<std::string>, int> cases[] = {
        {"/vol/file", "/vol/a2", 201}, {"/vol/b", "/vol/a2", 201}, {"/vol/dir/", "/vol/moved", 201},
        {"/vol/a2", "/vol/missing/a2", 412}, {"/vol/nothing", "/vol/else", 412}, {"/vol/a2", std::nullopt, 412},
        {"/vol", "/vol/x", 412}, {"/vol/a2", "/vol", 412}, {"/vol/a2", "/vol/../stolen", 412},
        {"/vol/a2", "/vol/moved/../../outdir/a2", 412}, {"/vol/../outdir", "/vol/taken", 412},
    };
    for (const auto& [from, to, status] : cases)
        EXPECT_EQ(store.move(from, to), status) << from << " -> " << to.value_or("(none)");
    EXPECT_EQ(EntryNames(root), (Names{"a2", "moved"}));
    EXPECT_EQ(ReadFile(at("a2")), "B");
    EXPECT_EQ(ReadFile(at("moved/sub/x")), "X");
}

// Names a shell would read as quoting, expansions, commands or options reach mv
// unchanged and run nothing. The store's root is relative here, so that both paths
// begin with "-", and a command run would leave "pwned" beside it.
TEST_F(UnixTmpDirDataSourceTest, MovedNamesAreNeverInterpreted)
{
    const auto saved = std::filesystem::current_path();
    std::filesystem::current_path(top.path());
    UnixTmpDirDataSource relative("-root");
    const std::string names[] = {
        "quote\"d", "$(touch pwned)", "`touch pwned`", "back\\slash\\", "-n", "--help", "it's", "semi;colon&",
        "$HOME",    "a b  c",         "new\nline",     "star*?[x]",     "-",  "\\\"$(touch pwned)\\\"",
    };
    for (const auto& name : names) {
        WriteFile(at(name), name);
        EXPECT_EQ(relative.move("/vol/" + name, std::string("/vol/-plain")), 201) << name;
        EXPECT_EQ(relative.move("/vol/-plain", "/vol/" + name), 201) << name;
        EXPECT_EQ(ReadFile(at(name)), name);
    }
    EXPECT_EQ(EntryNames(root).size(), std::size(names) + 2);
    std::filesystem::current_path(saved);
}

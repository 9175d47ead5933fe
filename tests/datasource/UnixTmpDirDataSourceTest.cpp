// The local directory store, read side: URI mapping, listings, dates, sizes,
// resource types, reads and the property lookup over real temporary folders.

#include "datasource/UnixTmpDirDataSource.h"
#include "platform/CalendarDate.h"

#include "datasource/StoreTestHelpers.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using testsupport::MakeDirs;
using testsupport::TempDir;
using testsupport::WriteFile;
using namespace storetest;

namespace {

constexpr const char* kCollection = "<D:collection/>";
// Mon, 01 Dec 2014 00:00:00 GMT
constexpr time_t kDec2014 = 1417392000;

TEST(UnixTmpDirDataSourceMapping, FirstVolumeIsRememberedAndEveryVolumeMapsToTheRoot)
{
    TempDir root;
    UnixTmpDirDataSource store(root.path());
    EXPECT_EQ(store.localToUri(root / "a"), std::nullopt) << "no volume known before the first mapping";

    struct Case {
        const char* uri;
        std::string local;
    };
    const Case cases[] = {
        {"/vol/a/b.txt", root / "a/b.txt"},
        {"/other/c", root / "c"},
        {"/vol/", root.path()},
        {"/vol/dir/", root / "dir"},
        {"/vol/a//b//", root / "a/b"},
        {"/vol/My%20Documents/x%2Fy", root / "My%20Documents/x%2Fy"}, // escapes name files as they stand
        {"/vol/r\xC3\xA9sum\xC3\xA9.txt", root / "r\xC3\xA9sum\xC3\xA9.txt"},
        {"/vol/.../%2e%2e/a..b", root / ".../%2e%2e/a..b"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(store.uriToLocal(c.uri), c.local) << c.uri;
    EXPECT_EQ(store.volume(), "/vol");

    EXPECT_EQ(store.localToUri(root / "c"), "/vol/c");
    EXPECT_EQ(store.localToUri(root / "My Documents/a#b.txt"), "/vol/My Documents/a#b.txt");
    EXPECT_EQ(store.localToUri(root.path()), "/vol");
}

TEST(UnixTmpDirDataSourceMapping, StoreOverTheFileSystemRoot)
{
    UnixTmpDirDataSource store;
    EXPECT_EQ(store.root(), "");
    EXPECT_EQ(store.uriToLocal("/v/etc/hosts"), "/etc/hosts");
    EXPECT_EQ(store.uriToLocal("/v/"), "/");
    EXPECT_EQ(store.localToUri("/etc/hosts"), "/v/etc/hosts");

    auto shared = UnixTmpDirDataSource::defaultDataSource();
    ASSERT_NE(shared, nullptr);
    EXPECT_EQ(shared, UnixTmpDirDataSource::defaultDataSource());
    EXPECT_EQ(shared->root(), "");
}

TEST(UnixTmpDirDataSourceMapping, UrisThatNameNothingInTheStore)
{
    TempDir root;
    UnixTmpDirDataSource store(root.path());
    // Without a "/" after the volume there is no path, and no volume is taken.
    for (const char* uri : {"/vol", "", "/", "x"}) {
        EXPECT_EQ(store.uriToLocal(uri), std::nullopt) << uri;
        EXPECT_EQ(store.volume(), std::nullopt) << uri;
    }
    // Climbing out of the root.
    const std::string outside[] = {"/vol/..", "/vol/../", "/vol/../x", "/vol/a/../../x", "/vol/a/..",
                                   "/vol//..//x", std::string("/vol/..\0/x", 10), std::string("/vol/a\0b", 8)};
    for (const auto& uri : outside)
        EXPECT_EQ(store.uriToLocal(uri), std::nullopt) << uri;
}

TEST(UnixTmpDirDataSourceListing, SubfolderAndEmptyFile)
{
    TempDir root;
    MakeDirs(root / "dir/sub");
    WriteFile(root / "dir/empty", "");
    WriteFile(root / "dir/five", "12345");
    ASSERT_EQ(chmod((root / "dir/empty").c_str(), 0640), 0);
    ASSERT_TRUE(SetModificationTime(root / "dir/empty", kDec2014));

    UnixTmpDirDataSource store(root.path());
    auto children = store.getChildren("/vol/dir/");
    ASSERT_EQ(children.size(), 3u);

    const auto* sub = FindRecord(children, "/vol/dir/sub");
    const auto* empty = FindRecord(children, "/vol/dir/empty");
    const auto* five = FindRecord(children, "/vol/dir/five");
    ASSERT_TRUE(sub && empty && five);

    EXPECT_EQ(sub->at("resourcetype"), kCollection);
    EXPECT_EQ(empty->at("resourcetype"), "");
    EXPECT_EQ(empty->count("getcontentlength"), 0u) << "an empty file's record carries no size";
    EXPECT_EQ(store.DAV_getcontentlength("/vol/dir/empty"), "0");
    EXPECT_EQ(five->at("getcontentlength"), "5");
    EXPECT_EQ(empty->at("attributes"), "416"); // 0640
    EXPECT_EQ(empty->at("getlastmodified"), "Mon, 01 Dec 2014 00:00:00 GMT");
    EXPECT_EQ(empty->count("accesstime"), 0u);

    // The same listing under a volume named later keeps the first volume.
    auto again = store.getChildren("/other/dir");
    EXPECT_NE(FindRecord(again, "/vol/dir/sub"), nullptr);
}

TEST(UnixTmpDirDataSourceListing, NothingToListGivesAnEmptyList)
{
    TempDir root;
    WriteFile(root / "file", "x");
    UnixTmpDirDataSource store(root.path());
    for (const char* uri : {"/vol/missing/", "/vol/file", "/vol", "/vol/../"})
        EXPECT_TRUE(store.getChildren(uri).empty()) << uri;
}

TEST(UnixTmpDirDataSourceListing, LinksAreDescribedThemselves)
{
    TempDir root;
    TempDir elsewhere;
    MakeDirs(root / "dir");
    ASSERT_EQ(symlink(elsewhere.path().c_str(), (root / "dir/linkdir").c_str()), 0);
    ASSERT_EQ(symlink((root / "gone").c_str(), (root / "dir/dangling").c_str()), 0);

    UnixTmpDirDataSource store(root.path());
    auto children = store.getChildren("/vol/dir/");
    ASSERT_EQ(children.size(), 2u);
    EXPECT_EQ(FindRecord(children, "/vol/dir/linkdir")->at("resourcetype"), "");
    EXPECT_EQ(FindRecord(children, "/vol/dir/dangling")->at("resourcetype"), "");
    // Kinds follow the link.
    EXPECT_TRUE(store.isDirectory("/vol/dir/linkdir"));
    EXPECT_FALSE(store.exists("/vol/dir/dangling"));
}

// Removes the folder's other entries while the listing is under way, as another
// program might between the listing and the attribute reads.
class VanishingStore : public UnixTmpDirDataSource {
public:
    using UnixTmpDirDataSource::UnixTmpDirDataSource;
    std::string folder;
    std::optional<std::string> localToUri(const std::string& localPath) override
    {
        for (const auto& name : EntryNames(folder))
            if (folder + "/" + name != localPath)
                std::filesystem::remove_all(folder + "/" + name);
        return UnixTmpDirDataSource::localToUri(localPath);
    }
};

TEST(UnixTmpDirDataSourceListing, AnEntryThatVanishesFailsTheWholeListing)
{
    TempDir root;
    MakeDirs(root / "dir");
    WriteFile(root / "dir/a", "1");
    WriteFile(root / "dir/b", "2");
    VanishingStore store(root.path());
    store.folder = root / "dir";
    EXPECT_EQ(RaisedName([&] { store.getChildren("/vol/dir/"); }), kDAVNotFoundException);
}

TEST(UnixTmpDirDataSourceAttributes, DatesSizesAndKinds)
{
    TempDir root;
    MakeDirs(root / "dir");
    auto before = std::chrono::system_clock::now() - std::chrono::seconds(2);
    WriteFile(root / "f.txt", "hello");
    auto after = std::chrono::system_clock::now() + std::chrono::seconds(2);
    ASSERT_TRUE(SetModificationTime(root / "f.txt", kDec2014));

    UnixTmpDirDataSource store(root.path());
    EXPECT_EQ(store.getLastModified("/vol/f.txt"), std::chrono::system_clock::from_time_t(kDec2014));
    // The birth time, where the file system keeps one, is untouched by utimensat.
    struct statx probe {};
    bool keepsBirthTimes = statx(AT_FDCWD, (root / "f.txt").c_str(), 0, STATX_BTIME, &probe) == 0 &&
                           (probe.stx_mask & STATX_BTIME);
    auto created = store.getCreationDate("/vol/f.txt");
    ASSERT_EQ(created.has_value(), keepsBirthTimes);
    if (created) {
        EXPECT_GT(*created, before);
        EXPECT_LT(*created, after);
        for (const auto& record : store.getChildren("/vol/"))
            EXPECT_EQ(record.count("creationdate"), 1u) << record.at("name");
    }
    EXPECT_EQ(store.DAV_getcontentlength("/vol/f.txt"), "5");

    struct Kind {
        const char* uri;
        bool file, directory, exists;
    };
    const Kind kinds[] = {
        {"/vol/f.txt", true, false, true},  {"/vol/dir", false, true, true}, {"/vol/dir/", false, true, true},
        {"/vol/", false, true, true},       {"/vol/nope", false, false, false},
        {"/vol", false, false, false},      {"/vol/../", false, false, false},
    };
    for (const auto& k : kinds) {
        EXPECT_EQ(store.isFile(k.uri), k.file) << k.uri;
        EXPECT_EQ(store.isDirectory(k.uri), k.directory) << k.uri;
        EXPECT_EQ(store.exists(k.uri), k.exists) << k.uri;
    }

    for (const char* missing : {"/vol/nope", "/vol", "/vol/../" }) {
        EXPECT_EQ(RaisedName([&] { store.getLastModified(missing); }), kDAVNotFoundException) << missing;
        EXPECT_EQ(RaisedName([&] { store.getCreationDate(missing); }), kDAVNotFoundException) << missing;
        EXPECT_EQ(RaisedName([&] { store.DAV_getcontentlength(missing); }), kDAVNotFoundException) << missing;
        EXPECT_EQ(RaisedName([&] { store.DAV_resourcetype(missing); }), kDAVNotFoundException) << missing;
        EXPECT_EQ(store.DAV_getcontenttype(missing), "text/html") << missing;
    }
}

TEST(UnixTmpDirDataSourceAttributes, SizesBeyond32Bits)
{
    TempDir root;
    const off_t size = 5LL * 1024 * 1024 * 1024 + 7; // sparse: takes no room
    WriteFile(root / "big", "");
    ASSERT_EQ(truncate((root / "big").c_str(), size), 0);
    UnixTmpDirDataSource store(root.path());
    EXPECT_EQ(store.DAV_getcontentlength("/vol/big"), "5368709127");
    auto children = store.getChildren("/vol/");
    ASSERT_EQ(children.size(), 1u);
    EXPECT_EQ(children[0].at("getcontentlength"), "5368709127");
}

TEST(UnixTmpDirDataSourceProperties, LookupByName)
{
    TempDir root;
    MakeDirs(root / "dir");
    WriteFile(root / "f", "abc");
    ASSERT_TRUE(SetModificationTime(root / "f", kDec2014));
    UnixTmpDirDataSource store(root.path());

    EXPECT_EQ(store.getProperty("resourcetype", "/vol/f"), "");
    EXPECT_EQ(store.getProperty("resourcetype", "/vol/dir/"), kCollection);
    EXPECT_EQ(store.getProperty("getcontentlength", "/vol/f"), "3");
    EXPECT_EQ(store.getProperty("getcontenttype", "/vol/dir/"), "text/html");
    EXPECT_EQ(store.getProperty("getlastmodified", "/vol/f"), "Mon, 01 Dec 2014 00:00:00 GMT");
    // Listed names without a handler, and unlisted ones, give no value.
    for (const char* name : {"creationdate", "quota", "quotaused", "displayname", "getetag", "ResourceType"})
        EXPECT_EQ(store.getProperty(name, "/vol/f"), std::nullopt) << name;
    EXPECT_EQ(RaisedName([&] { store.getProperty("resourcetype", "/vol/missing"); }), kDAVNotFoundException);
    EXPECT_EQ(RaisedName([&] { store.getProperty("getlastmodified", "/vol/missing"); }), kDAVNotFoundException);
}

// A store whose kinds say "directory" for everything: the resource type must come
// from the receiver's kinds, not the base's.
class EverythingIsAFolder : public UnixTmpDirDataSource {
public:
    using UnixTmpDirDataSource::UnixTmpDirDataSource;
    bool isFile(const std::string&) override { return false; }
    bool isDirectory(const std::string&) override { return true; }
};

TEST(UnixTmpDirDataSourceProperties, OperationsUseTheReceiversKinds)
{
    TempDir root;
    WriteFile(root / "f", "abc");
    EverythingIsAFolder store(root.path());
    EXPECT_EQ(store.getProperty("resourcetype", "/vol/f"), kCollection);
    EXPECT_EQ(RaisedName([&] { store.getData("/vol/f"); }), kDAVNotFoundException);
}

TEST(UnixTmpDirDataSourceReading, GetData)
{
    TempDir root;
    MakeDirs(root / "dir");
    const std::string binary("a\0b\r\n\xff", 6);
    WriteFile(root / "bin", binary);
    WriteFile(root / "empty", "");
    UnixTmpDirDataSource store(root.path());

    EXPECT_EQ(Text(store.getData("/vol/bin")), binary);
    auto empty = store.getData("/vol/empty");
    ASSERT_NE(empty, nullptr);
    EXPECT_TRUE(empty->empty());
    for (const char* uri : {"/vol/dir", "/vol/dir/", "/vol/", "/vol/missing", "/vol", "/vol/../"})
        EXPECT_EQ(RaisedName([&] { store.getData(uri); }), kDAVNotFoundException) << uri;

    // A file just outside the root stays out of reach.
    TempDir parent;
    MakeDirs(parent / "root");
    WriteFile(parent / "secret", "s");
    UnixTmpDirDataSource inner(parent / "root");
    EXPECT_EQ(RaisedName([&] { inner.getData("/vol/../secret"); }), kDAVNotFoundException);
    EXPECT_EQ(RaisedName([&] { inner.getData("/vol/x/../../secret"); }), kDAVNotFoundException);
}

} // namespace

// The kept listing (found by exact name, the first of a name, only while young, and
// small enough that a 10,000-member folder costs about a hundred bytes a member),
// and the local directory store, which the metafile mirror builds on, over real
// temporary folders: deletes, and moves of names a shell would have interpreted. Its
// other answers are checked through the methods over it and the mirror's refusals,
// and that no URI maps outside its root by fuzz_uri_mapping.

#include "datasource/ListingCache.h"
#include "datasource/StoreTestHelpers.h"
#include "datasource/UnixTmpDirDataSource.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <malloc.h>

using namespace testsupport;
using namespace storetest;

namespace {

ListingCache::Members Named(std::initializer_list<const char*> names)
{
    ListingCache::Members members;
    for (const char* name : names) {
        ChildRecord& record = members.emplace_back();
        record.name = name;
        record.setSize(members.size()); // tells members of one name apart
    }
    return members;
}

} // namespace

TEST(ListingCache, FindsTheFirstOfAnExactNameWhileYoung)
{
    ListingCache cache;
    const auto t0 = std::chrono::steady_clock::time_point{} + std::chrono::hours(1);
    cache.keep(Named({"/vol/b", "/vol/a", "/vol/b", "/vol/c/"}), t0);

    const ChildRecord* b = cache.find("/vol/b", t0);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->size, 1u) << "the first listed of two members of one name";
    EXPECT_EQ(cache.find("/vol/a", t0)->size, 2u);
    for (const char* other : {"/vol/c", "/vol/", "/vol/bb", "/vol/0", "/vol/d"})
        EXPECT_EQ(cache.find(other, t0), nullptr) << other;

    const auto life = std::chrono::duration_cast<std::chrono::steady_clock::duration>(kCacheLife);
    EXPECT_NE(cache.find("/vol/a", t0 + life - std::chrono::milliseconds(1)), nullptr);
    EXPECT_EQ(cache.find("/vol/a", t0 + life), nullptr) << "as old as the cache life";

    cache.keep(Named({"/vol/x"}), t0 + life);
    EXPECT_EQ(cache.find("/vol/a", t0 + life), nullptr) << "replaced by the next listing";
    EXPECT_NE(cache.find("/vol/x", t0 + life), nullptr);
    cache.forget();
    EXPECT_EQ(cache.find("/vol/x", t0 + life), nullptr);
}

TEST(ListingCache, TenThousandMembersCostAboutAHundredBytesEach)
{
    constexpr size_t kMembers = 10000;
    auto listed = [] {
        ListingCache::Members members(kMembers);
        char name[64];
        for (size_t i = 0; i < kMembers; ++i) {
            // A device listing's member: a name, three dates, a size, attributes, a kind.
            std::snprintf(name, sizeof name, "/Device/My%%20Documents/f%05zu.bin", i);
            members[i].name = name;
            members[i].setCreated(ChildRecord::Date{});
            members[i].setModified(ChildRecord::Date{});
            members[i].setAccessed(ChildRecord::Date{});
            members[i].setAttributes(0x20);
            members[i].setSize(i);
            members[i].setCollection(false);
        }
        return members;
    };
    // Bytes in use, the large blocks the allocator maps by themselves included.
    auto inUse = [] {
        struct mallinfo2 info = ::mallinfo2();
        return info.uordblks + info.hblkhd;
    };
    ListingCache cache;
    size_t before = inUse();
    cache.keep(listed(), {});
    size_t perMember = (inUse() - before) / kMembers;
    RecordProperty("bytes_per_member", static_cast<int>(perMember));
    EXPECT_LT(perMember, 160u) << "bytes a member, with its name and the index";
    cache.forget();
    EXPECT_LT(inUse(), before + 1024) << "forgetting gives the memory back";
}

using Names = std::vector<std::string>;

// A root holding "file" and "dir/sub/x", with a folder beside it; after every test,
// nothing outside the root may have changed.
struct UnixTmpDirDataSourceTest : ::testing::Test {
    TempDir top;
    std::string root = top / "-root";
    UnixTmpDirDataSource store{root};
    UnixTmpDirDataSourceTest()
    {
        WriteFile(at("dir/sub/x"), "X");
        WriteFile(at("file"), "0123456789");
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

// A delete removes whole folders, and a link as itself: a link to a folder outside
// goes, the folder stays (the fixture checks it). A missing target counts as gone.
TEST_F(UnixTmpDirDataSourceTest, DeleteRemovesWholeFoldersAndLinksAsThemselves)
{
    std::filesystem::create_directory_symlink(top / "outdir", at("link"));
    for (const char* uri : {"/vol/file", "/vol/dir/", "/vol/link", "/vol/missing", "/vol/missing/deeper/",
                            "/vol/../outdir", "/vol"})
        EXPECT_EQ(store.delete_(uri), StoreStatus::Done) << uri;
    EXPECT_TRUE(EntryNames(root).empty());
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
        EXPECT_EQ(relative.move("/vol/" + name, std::string("/vol/-plain")), StoreStatus::Created) << name;
        EXPECT_EQ(relative.move("/vol/-plain", "/vol/" + name), StoreStatus::Created) << name;
        EXPECT_EQ(ReadFile(at(name)), name);
    }
    EXPECT_EQ(EntryNames(root).size(), std::size(names) + 2);
    std::filesystem::current_path(saved);
}

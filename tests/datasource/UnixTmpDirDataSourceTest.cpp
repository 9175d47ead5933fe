// The local directory store, which the metafile mirror builds on, over real temporary
// folders: deletes, and moves of names a shell would have interpreted. Its other
// answers are checked through the methods over it and the mirror's refusals, and
// that no URI maps outside its root by fuzz_uri_mapping.

#include "datasource/UnixTmpDirDataSource.h"

#include "datasource/StoreTestHelpers.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>


using namespace testsupport;
using namespace storetest;
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

// The metafile mirror: parent folders made on demand, file-only listings, and the
// refusals when something stands in the way, over real temporary folders.

#include "device/UnixMirroredFSDataSource.h"
#include "log/LogClient.h"

#include "datasource/StoreTestHelpers.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>

using testsupport::IsDirectory;
using testsupport::MakeDirs;
using testsupport::PathExists;
using testsupport::ReadFile;
using testsupport::RemoveTree;
using testsupport::TempDir;
using testsupport::WriteFile;
using namespace storetest;

namespace {

std::vector<std::string> Names(const DataSource::ChildList& list)
{
    std::vector<std::string> names;
    for (const auto& record : list)
        names.push_back(record.at("name"));
    std::sort(names.begin(), names.end());
    return names;
}

// A mirror directory with a sibling beside it, to tell whether a change climbed out.
struct Mirror {
    TempDir top;
    std::string root = top / "pxwm_mirroredfs";
    UnixMirroredFSDataSource store{root};
    Mirror() { MakeDirs(root); }
    std::string at(const std::string& relative) const { return root + "/" + relative; }
};

TEST(UnixMirroredFSDataSource, PutMakesTheMissingFoldersAndTheListingShowsTheFile)
{
    Mirror m;
    EXPECT_TRUE(m.store.putData(Bytes("finder info"), "/vol/a/b/._c"));
    EXPECT_TRUE(IsDirectory(m.at("a")));
    EXPECT_TRUE(IsDirectory(m.at("a/b")));
    EXPECT_EQ(ReadFile(m.at("a/b/._c")), "finder info");

    // Replacing goes through the base: same file, new content.
    EXPECT_TRUE(m.store.putData(Bytes("x"), "/vol/a/b/._c"));
    EXPECT_EQ(ReadFile(m.at("a/b/._c")), "x");

    auto children = m.store.getChildren("/vol/a/b/");
    ASSERT_EQ(children.size(), 1u);
    EXPECT_EQ(children[0].at("name"), "/vol/a/b/._c");
    EXPECT_EQ(children[0].at("resourcetype"), "");
    EXPECT_EQ(children[0].at("getcontentlength"), "1");

    EXPECT_TRUE(m.store.getChildren("/vol/elsewhere/").empty()) << "a folder the mirror lacks lists as empty";
    EXPECT_EQ(Text(m.store.getData("/vol/a/b/._c")), "x");
}

TEST(UnixMirroredFSDataSource, ListingsHoldFilesOnly)
{
    Mirror m;
    EXPECT_EQ(m.store.mkCollection("/vol/._d"), 201);
    EXPECT_TRUE(IsDirectory(m.at("._d")));
    EXPECT_EQ(m.store.mkCollection("/vol/x/y/._e"), 201) << "parents are made for a folder too";
    EXPECT_TRUE(IsDirectory(m.at("x/y/._e")));
    EXPECT_EQ(m.store.mkCollection("/vol/._d"), 405);

    WriteFile(m.at(".DS_Store"), "ds");
    WriteFile(m.at("._f"), "");
    ASSERT_EQ(symlink(m.at("._d").c_str(), m.at("._link").c_str()), 0);

    auto children = m.store.getChildren("/vol/");
    EXPECT_EQ(Names(children), (std::vector<std::string>{"/vol/.DS_Store", "/vol/._f", "/vol/._link"}));
    for (const auto& record : children)
        EXPECT_EQ(record.at("resourcetype"), "") << record.at("name");
    // Properties asked of the mirror itself still tell a folder.
    EXPECT_EQ(m.store.getProperty("resourcetype", "/vol/._d"), "<D:collection/>");
}

TEST(UnixMirroredFSDataSource, AFileInTheWayRefusesEveryChange)
{
    Mirror m;
    WriteFile(m.at("a"), "plain file");
    WriteFile(m.at("._z"), "z");

    EXPECT_FALSE(m.store.putData(Bytes("x"), "/vol/a/._x"));
    EXPECT_EQ(m.store.mkCollection("/vol/a/._y"), 403);
    EXPECT_EQ(m.store.move("/vol/._z", std::string("/vol/a/._z")), 412);
    EXPECT_EQ(m.store.move("/vol/._z", std::string("/vol/a/deeper/._z")), 412);

    EXPECT_EQ(ReadFile(m.at("a")), "plain file");
    EXPECT_EQ(ReadFile(m.at("._z")), "z");
    EXPECT_EQ(EntryNames(m.root), (std::vector<std::string>{"._z", "a"}));
}

TEST(UnixMirroredFSDataSource, MoveMakesTheDestinationsFolders)
{
    Mirror m;
    WriteFile(m.at("._z"), "z");
    EXPECT_EQ(m.store.move("/vol/._z", std::string("/vol/p/q/._z")), 201);
    EXPECT_EQ(ReadFile(m.at("p/q/._z")), "z");
    EXPECT_FALSE(PathExists(m.at("._z")));

    // The folders are made even when there is nothing to move.
    EXPECT_EQ(m.store.move("/vol/._missing", std::string("/vol/r/s/._missing")), 412);
    EXPECT_TRUE(IsDirectory(m.at("r/s")));
    EXPECT_FALSE(PathExists(m.at("r/s/._missing")));

    EXPECT_EQ(m.store.move("/vol/p/q/._z", std::nullopt), 412);
    EXPECT_EQ(m.store.move("/vol/p/q/._z", std::string("/vol")), 412);
    EXPECT_EQ(ReadFile(m.at("p/q/._z")), "z");
}

TEST(UnixMirroredFSDataSource, DeletesAndReadsOfWhatItLacks)
{
    Mirror m;
    EXPECT_EQ(m.store.delete_("/vol/a/._none"), 204);
    EXPECT_FALSE(PathExists(m.at("a"))) << "a delete makes no folders";
    EXPECT_EQ(RaisedName([&] { m.store.getData("/vol/a/._none"); }), kDAVNotFoundException);
}

TEST(UnixMirroredFSDataSource, IntermediateFoldersStopAtTheRoot)
{
    Mirror m;
    EXPECT_TRUE(m.store.createIntermediateDirectories(m.at("x/y/z")));
    EXPECT_TRUE(IsDirectory(m.at("x/y")));
    EXPECT_FALSE(PathExists(m.at("x/y/z"))) << "the last component is the caller's";
    EXPECT_TRUE(m.store.createIntermediateDirectories(m.at("x/y/z"))) << "existing folders are fine";
    EXPECT_TRUE(m.store.createIntermediateDirectories(m.at("top")));

    WriteFile(m.at("x/file"), "");
    EXPECT_FALSE(m.store.createIntermediateDirectories(m.at("x/file/deeper/leaf")));
    EXPECT_FALSE(PathExists(m.at("x/file/deeper")));

    // Once the mirror directory is gone (a hang-up removes it), nothing brings it back.
    RemoveTree(m.root);
    EXPECT_FALSE(m.store.putData(Bytes("x"), "/vol/._top"));
    EXPECT_FALSE(m.store.putData(Bytes("x"), "/vol/a/._deep"));
    EXPECT_EQ(m.store.mkCollection("/vol/a/._dir"), 403);
    EXPECT_EQ(m.store.move("/vol/._top", std::string("/vol/a/._top")), 412);
    EXPECT_FALSE(PathExists(m.root));
}

TEST(UnixMirroredFSDataSource, NothingIsMadeOutsideTheMirror)
{
    Mirror m;
    WriteFile(m.at("._in"), "in");
    EXPECT_FALSE(m.store.putData(Bytes("x"), "/vol/../a/._x"));
    EXPECT_EQ(m.store.mkCollection("/vol/../b/._y"), 403);
    EXPECT_EQ(m.store.move("/vol/._in", std::string("/vol/../c/._in")), 412);
    EXPECT_EQ(m.store.move("/vol/._in", std::string("/vol/q/../../d/._in")), 412);
    EXPECT_EQ(EntryNames(m.top.path()), (std::vector<std::string>{"pxwm_mirroredfs"}));
    EXPECT_EQ(EntryNames(m.root), (std::vector<std::string>{"._in"}));
}

} // namespace

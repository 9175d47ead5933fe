// The metafile mirror: parent folders made on demand, file-only listings, and the
// refusals when something stands in the way, over real temporary folders.

#include "device/UnixMirroredFSDataSource.h"

#include "datasource/StoreTestHelpers.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <optional>

using testsupport::IsDirectory;
using testsupport::PathExists;
using testsupport::ReadFile;
using testsupport::WriteFile;
using namespace storetest;

namespace {

// A mirror directory with a sibling beside it, to tell whether a change climbed out.
struct Mirror {
    testsupport::TempDir top;
    std::string root = top / "pxwm_mirroredfs";
    UnixMirroredFSDataSource store{root};
    Mirror() { testsupport::MakeDirs(root); }
    std::string at(const std::string& relative) const { return root + "/" + relative; }
};

TEST(UnixMirroredFSDataSource, PutAndMkColMakeTheMissingFoldersAndListingsHoldFilesOnly)
{
    Mirror m;
    EXPECT_TRUE(m.store.putData(Bytes("finder info"), "/vol/a/b/._c"));
    EXPECT_EQ(ReadFile(m.at("a/b/._c")), "finder info");
    EXPECT_TRUE(m.store.putData(Bytes("x"), "/vol/a/b/._c"));
    EXPECT_EQ(Text(m.store.getData("/vol/a/b/._c")), "x");
    EXPECT_EQ(m.store.mkCollection("/vol/a/._d"), 201);
    EXPECT_EQ(m.store.mkCollection("/vol/x/y/._e"), 201) << "parents are made for a folder too";
    EXPECT_TRUE(IsDirectory(m.at("x/y/._e")));
    EXPECT_EQ(m.store.mkCollection("/vol/a/._d"), 405);
    ASSERT_EQ(symlink(m.at("a/._d").c_str(), m.at("a/._link").c_str()), 0);

    auto files = m.store.getChildren("/vol/a/b/");
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0].at("name") + " " + files[0].at("getcontentlength"), "/vol/a/b/._c 1");
    auto listed = m.store.getChildren("/vol/a/"); // no folders; a link to one is a file
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0].at("name") + listed[0].at("resourcetype"), "/vol/a/._link");
    EXPECT_TRUE(m.store.getChildren("/vol/elsewhere/").empty()) << "a folder the mirror lacks lists as empty";
    // Properties asked of the mirror itself still tell a folder.
    EXPECT_EQ(m.store.getProperty("resourcetype", "/vol/a/._d"), "<D:collection/>");
}

TEST(UnixMirroredFSDataSource, MoveMakesTheDestinationsFoldersAndDeleteMakesNone)
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

    EXPECT_EQ(m.store.delete_("/vol/d/._none"), 204);
    EXPECT_FALSE(PathExists(m.at("d"))) << "a delete makes no folders";
    EXPECT_EQ(RaisedName([&] { m.store.getData("/vol/d/._none"); }), kDAVNotFoundException);
}

// A file in the way, a path climbing out, or a mirror a hang-up removed: every change
// is refused, and nothing in or beside the mirror changes.
TEST(UnixMirroredFSDataSource, RefusedChangesLeaveEverythingAsItWas)
{
    struct Case {
        const char* what;
        bool mirrorGone;
        const char* method;
        std::optional<std::string> uri;
        std::string answer;
    } cases[] = {
        {"put under a file", false, "PUT", "/vol/a/._x", "refused"},
        {"folder under a file", false, "MKCOL", "/vol/a/._y", "403"},
        {"move under a file", false, "MOVE", "/vol/a/._z", "412"},
        {"move deeper under a file", false, "MOVE", "/vol/a/deeper/._z", "412"},
        {"move without a destination", false, "MOVE", std::nullopt, "412"},
        {"move to a URI without a path", false, "MOVE", "/vol", "412"},
        {"put climbing out", false, "PUT", "/vol/../a/._x", "refused"},
        {"folder climbing out", false, "MKCOL", "/vol/../b/._y", "403"},
        {"move climbing out", false, "MOVE", "/vol/../c/._z", "412"},
        {"move climbing out from below", false, "MOVE", "/vol/q/../../d/._z", "412"},
        {"put into a removed mirror", true, "PUT", "/vol/._top", "refused"},
        {"deep put into a removed mirror", true, "PUT", "/vol/a/._deep", "refused"},
        {"folder in a removed mirror", true, "MKCOL", "/vol/a/._dir", "403"},
        {"move in a removed mirror", true, "MOVE", "/vol/a/._top", "412"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Mirror m;
        WriteFile(m.at("a"), "plain file");
        WriteFile(m.at("._z"), "z");
        if (c.mirrorGone)
            testsupport::RemoveTree(m.root);
        std::string method = c.method;
        if (method == "PUT")
            EXPECT_EQ(m.store.putData(Bytes("x"), *c.uri) ? "done" : "refused", c.answer);
        else
            EXPECT_EQ(std::to_string(method == "MKCOL" ? m.store.mkCollection(*c.uri) : m.store.move("/vol/._z", c.uri)),
                      c.answer);
        EXPECT_EQ(EntryNames(m.top.path()), (std::vector<std::string>(c.mirrorGone ? 0 : 1, "pxwm_mirroredfs")));
        if (!c.mirrorGone) {
            EXPECT_EQ(EntryNames(m.root), (std::vector<std::string>{"._z", "a"}));
            EXPECT_EQ(ReadFile(m.at("a")) + ReadFile(m.at("._z")), "plain filez");
        }
    }
}

} // namespace

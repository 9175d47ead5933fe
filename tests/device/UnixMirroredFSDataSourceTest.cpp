// The metafile mirror: file-only listings, and the refusals when something stands
// in the way, over real temporary folders.

#include "device/UnixMirroredFSDataSource.h"

#include "WinceTestSupport.h"

#include <algorithm>
#include <optional>

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

// Parents made for a PUT or a MOVE into the mirror are checked end to end (a metafile
// put below a device folder, moved into another).
TEST(UnixMirroredFSDataSource, ListingsHoldFilesOnly)
{
    Mirror m;
    testsupport::MakeDirs(m.at("a/b/._d"));
    WriteFile(m.at("a/._c"), "x");
    ASSERT_EQ(symlink(m.at("a/b").c_str(), m.at("a/._link").c_str()), 0);
    std::vector<std::string> listed;
    for (const auto& record : m.store.getChildren("/vol/a/"))
        listed.push_back(record.at("name") + " " + record.at("resourcetype"));
    std::sort(listed.begin(), listed.end()); // no folders; a link to one is a file
    EXPECT_EQ(listed, (std::vector<std::string>{"/vol/a/._c ", "/vol/a/._link "}));
    EXPECT_TRUE(m.store.getChildren("/vol/elsewhere/").empty()) << "a folder the mirror lacks lists as empty";
    // Properties asked of the mirror itself still tell a folder.
    EXPECT_EQ(m.store.getProperty("resourcetype", "/vol/a/b/._d"), "<D:collection/>");
}

// A file in the way or a mirror a hang-up removed: every change is refused, and
// nothing in or beside the mirror changes. (Paths climbing out never map: the
// local store's confinement, which fuzz_uri_mapping checks.)
TEST(UnixMirroredFSDataSource, RefusedChangesLeaveEverythingAsItWas)
{
    struct Case {
        bool mirrorGone;
        const char* method;
        std::optional<std::string> uri;
        std::string answer;
    } cases[] = {
        {false, "PUT", "/vol/a/._x", "refused"}, {false, "MKCOL", "/vol/a/._y", "403"},
        {false, "MOVE", "/vol/a/._z", "412"},    {false, "MOVE", "/vol/a/deeper/._z", "412"},
        {false, "MOVE", std::nullopt, "412"},    {false, "MOVE", "/vol", "412"},
        {true, "PUT", "/vol/._top", "refused"},  {true, "PUT", "/vol/a/._deep", "refused"},
        {true, "MKCOL", "/vol/a/._dir", "403"},  {true, "MOVE", "/vol/a/._top", "412"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.method) + " " + c.uri.value_or("(none)") + (c.mirrorGone ? " without a mirror" : ""));
        Mirror m;
        WriteFile(m.at("a"), "plain file");
        WriteFile(m.at("._z"), "z");
        if (c.mirrorGone)
            testsupport::RemoveTree(m.root);
        std::string method = c.method;
        if (method == "PUT")
            EXPECT_EQ(m.store.putDataFromFile(*c.uri, *wincetest::ClientBody("x", 1), 1) ? "done" : "refused", c.answer);
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

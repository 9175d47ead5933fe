// The metafile mirror's refusals when something stands in the way, over real
// temporary folders. Its listings, and the parents it makes for a PUT or a MOVE,
// are checked end to end.

#include "device/UnixMirroredFSDataSource.h"

#include "WinceTestSupport.h"

using testsupport::WriteFile;
using namespace wincetest;

namespace {

// A mirror directory with a sibling beside it, to tell whether a change climbed out.
struct Mirror {
    testsupport::TempDir top;
    std::string root = top / "pxwm_mirroredfs";
    UnixMirroredFSDataSource store{root};
    Mirror() { testsupport::MakeDirs(root); }
    std::string at(const std::string& relative) const { return root + "/" + relative; }
};

// A move without a place to go, or any change after a hang-up removed the mirror, is
// refused, and nothing in or beside the mirror changes. (A file in the way is a
// data-safety row end to end; paths climbing out never map: the local store's
// confinement, which fuzz_uri_mapping checks.)
TEST(UnixMirroredFSDataSource, RefusedChangesLeaveEverythingAsItWas)
{
    struct Case {
        bool mirrorGone;
        const char* method;
        std::optional<std::string> uri;
        std::string answer;
    } cases[] = {
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
            EXPECT_EQ(m.store.putDataFromFile(*c.uri, *ClientBody("x", 1), 1) ? "done" : "refused", c.answer);
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

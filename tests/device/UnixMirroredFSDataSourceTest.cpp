// The metafile mirror over real temporary folders. Its listings, refusals and the
// parents it makes for a PUT or a MOVE are checked end to end.

#include "device/UnixMirroredFSDataSource.h"

#include "WinceTestSupport.h"

using namespace wincetest;

// After a hang-up removed the mirror, a change still in flight makes none of its
// folders again, the mirror's own least of all. (A file in the way, or a move with
// nowhere to go, are data-safety rows end to end; paths climbing out never map:
// the local store's confinement, which fuzz_uri_mapping checks.)
TEST(UnixMirroredFSDataSource, ChangesAfterTheMirrorWasRemovedRemakeNothing)
{
    testsupport::TempDir top;
    UnixMirroredFSDataSource store(top / "pxwm_mirroredfs");
    EXPECT_FALSE(store.putDataFromFile("/vol/._top", *ClientBody("x", 1), 1));
    EXPECT_FALSE(store.putDataFromFile("/vol/a/._deep", *ClientBody("x", 1), 1));
    EXPECT_EQ(store.mkCollection("/vol/a/._dir"), 403);
    EXPECT_EQ(store.move("/vol/a/._top", std::string("/vol/b/._top")), 412);
    EXPECT_TRUE(EntryNames(top.path()).empty());
}

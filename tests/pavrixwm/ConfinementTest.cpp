// The emulated device's files stay inside its fs/ folder: no path a caller gives,
// and no link inside, reaches anything beside it.

#include "DeviceFixture.h"

#include <unistd.h>

using namespace devicetest;

namespace {

constexpr DWORD kRead = GENERIC_READ, kWrite = GENERIC_WRITE;

TEST(EmulatedFiles, NothingOutsideFsIsReachable)
{
    DeviceDir dir;
    testsupport::WriteFile(dir / "secret.txt", "secret");
    testsupport::MakeDirs(dir / "outside");
    dir.put("inside.txt", "inside");
    testsupport::MakeDirs(dir.fs("sub"));
    ASSERT_EQ(::symlink("../secret.txt", dir.fs("link").c_str()), 0);
    ASSERT_EQ(::symlink("../outside", dir.fs("out").c_str()), 0);
    ASSERT_EQ(::symlink("inside.txt", dir.fs("alias").c_str()), 0);
    ASSERT_EQ(::symlink("/", dir.fs("sub/root").c_str()), 0);
    auto rapi = dir.session();
    std::vector<RapiFindData> found;
    for (const char* path : {"\\..\\secret.txt", "\\sub\\..\\..\\secret.txt", "\\link", "\\LINK", "\\out\\x.txt", "\\out\\*",
                             "\\sub\\root\\etc\\passwd", "\\sub\\root\\*", "..\\secret.txt", "\\..", "/../secret.txt"}) {
        SCOPED_TRACE(path);
        EXPECT_FALSE(Opens(*rapi, path, kRead, 0, OPEN_EXISTING));
        EXPECT_FALSE(Opens(*rapi, path, kWrite, 0, CREATE_ALWAYS));
        rapi->CeFindAllFiles(path, 0xBF, found);
        EXPECT_TRUE(found.empty());
        EXPECT_FALSE(rapi->CeDeleteFile(path));
        EXPECT_FALSE(rapi->CeMoveFile("\\inside.txt", path));
        EXPECT_FALSE(rapi->CeMoveFile(path, "\\mine.txt"));
        EXPECT_FALSE(rapi->CeCreateDirectory(path));
    }
    EXPECT_EQ(testsupport::ReadFile(dir / "secret.txt"), "secret");
    EXPECT_FALSE(testsupport::PathExists(dir / "outside/x.txt"));
    // The listing shows neither escaping link; a link that stays inside fs/ is an ordinary file.
    ASSERT_TRUE(rapi->CeFindAllFiles("\\*", FAF_NAME, found));
    EXPECT_EQ(Names(found), (std::vector<std::string>{"alias", "inside.txt", "sub"}));
    EXPECT_EQ(ReadWhole(*rapi, "\\alias"), "inside");
}

} // namespace

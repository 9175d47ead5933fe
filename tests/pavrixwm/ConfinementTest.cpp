// The emulated device's files: handles, changes and their Win32 error codes,
// sharing, confinement to fs/, and finds with their order and the host times the
// device cannot hold.

#include "DeviceFixture.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace devicetest;
using std::chrono::system_clock;

namespace {

constexpr DWORD kRead = GENERIC_READ, kWrite = GENERIC_WRITE, kReadWrite = GENERIC_READ | GENERIC_WRITE;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE;

// Every call, in order, with the code it fails with (0: it succeeds and leaves the
// last code as it was). Names match in any letter case.
TEST(EmulatedFiles, EachCallSucceedsOrFailsWithItsCode)
{
    DeviceDir dir;
    for (const char* name : {"docs/a.txt", "docs/Notes.TXT", "docs/R\xC3\xA9sum\xC3\xA9", "old.txt", "trunc.txt", "full/a.txt", "b.txt", "dir/inner.txt", "locked.txt"})
        dir.put(name, "keep");
    dir.mkdir("other");
    ::chmod(dir.fs("locked.txt").c_str(), 0444);
    auto rapi = dir.session();
    HANDLE reader = rapi->CeCreateFile("\\docs\\a.txt", kRead, kShareAll, OPEN_EXISTING, 0);
    HANDLE writer = rapi->CeCreateFile("\\docs\\w.txt", kWrite, kShareAll, CREATE_ALWAYS, 0);
    uint8_t buffer[8];
    DWORD count = 0;
    auto open = [&](const char* path, DWORD access, DWORD disposition) { return Opens(*rapi, path, access, kShareAll, disposition); };
    struct Case {
        const char* what;
        std::function<bool()> call; // true on success
        DWORD code;
    };
    const std::vector<Case> cases = {
        {"open missing file", [&] { return open("\\docs\\nope.txt", kRead, OPEN_EXISTING); }, ERROR_FILE_NOT_FOUND},
        {"open, other case", [&] { return open("\\DOCS\\r\xC3\x89SUM\xC3\x89", kRead, OPEN_EXISTING); }, 0},
        {"replace, other spelling", [&] { return open("\\docs\\\\NOTES.txt", kWrite, CREATE_ALWAYS); }, 0},
        {"open in missing folder", [&] { return open("\\nodir\\a.txt", kRead, OPEN_EXISTING); }, ERROR_PATH_NOT_FOUND},
        {"open a folder", [&] { return open("\\docs", kRead, OPEN_EXISTING); }, ERROR_ACCESS_DENIED},
        {"invalid name", [&] { return open("\\docs\\a:b", kWrite, CREATE_ALWAYS); }, ERROR_INVALID_NAME},
        {"write a read-only file", [&] { return open("\\locked.txt", kWrite, OPEN_EXISTING); }, ERROR_ACCESS_DENIED},
        {"CREATE_NEW over a file", [&] { return open("\\old.txt", kWrite, CREATE_NEW); }, ERROR_FILE_EXISTS},
        {"TRUNCATE_EXISTING a file", [&] { return open("\\trunc.txt", kWrite, TRUNCATE_EXISTING); }, 0},
        {"write a read-only handle", [&] { return rapi->CeWriteFile(reader, buffer, 1, count); }, ERROR_ACCESS_DENIED},
        {"make a folder", [&] { return rapi->CeCreateDirectory("\\New Folder"); }, 0},
        {"make it again, other case", [&] { return rapi->CeCreateDirectory("\\new folder"); }, ERROR_ALREADY_EXISTS},
        {"make without parent", [&] { return rapi->CeCreateDirectory("\\no\\child"); }, ERROR_PATH_NOT_FOUND},
        {"remove non-empty", [&] { return rapi->CeRemoveDirectory("\\full"); }, ERROR_DIR_NOT_EMPTY},
        {"delete a folder", [&] { return rapi->CeDeleteFile("\\full"); }, ERROR_ACCESS_DENIED},
        {"delete a read-only file", [&] { return rapi->CeDeleteFile("\\locked.txt"); }, ERROR_ACCESS_DENIED},
        {"delete a file", [&] { return rapi->CeDeleteFile("\\FULL\\A.txt"); }, 0},
        {"remove now empty", [&] { return rapi->CeRemoveDirectory("\\Full"); }, 0},
        {"move onto a file", [&] { return rapi->CeMoveFile("\\old.txt", "\\B.TXT"); }, ERROR_ALREADY_EXISTS},
        {"move into itself", [&] { return rapi->CeMoveFile("\\dir", "\\dir\\sub"); }, ERROR_ACCESS_DENIED},
        {"move a file", [&] { return rapi->CeMoveFile("\\OLD.TXT", "\\other\\moved.txt"); }, 0},
        {"move a folder", [&] { return rapi->CeMoveFile("\\DIR", "\\other\\Dir2"); }, 0},
        {"rename to another case", [&] { return rapi->CeMoveFile("\\b.txt", "\\B.txt"); }, 0},
        {"close twice", [&] { return rapi->CeCloseHandle(writer) && rapi->CeCloseHandle(writer); }, ERROR_INVALID_HANDLE},
    };
    DWORD last = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.call(), c.code == 0);
        last = c.code ? c.code : last;
        EXPECT_EQ(rapi->CeGetLastError(), last);
    }
    EXPECT_EQ(dir.read("locked.txt") + dir.read("other/moved.txt") + dir.read("other/Dir2/inner.txt"), "keepkeepkeep");
    EXPECT_EQ(dir.read("trunc.txt") + dir.read("docs/Notes.TXT"), "");
    for (const char* name : {"New Folder", "B.txt"})
        EXPECT_TRUE(dir.exists(name)) << name;
    for (const char* name : {"full", "b.txt", "old.txt", "dir", "docs/NOTES.txt"})
        EXPECT_FALSE(dir.exists(name)) << name;
}

TEST(EmulatedFiles, NothingOutsideFsIsReachable)
{
    DeviceDir dir;
    testsupport::WriteFile(dir / "secret.txt", "secret");
    testsupport::MakeDirs(dir / "outside");
    dir.put("inside.txt", "inside");
    dir.mkdir("sub");
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
    HANDLE h = rapi->CeCreateFile("\\alias", kRead, FILE_SHARE_READ, OPEN_EXISTING, 0);
    EXPECT_EQ(ReadWhole(*rapi, h), "inside");
}

TEST(EmulatedFiles, HandlesFollowTheSharingRulesAcrossSessions)
{
    DeviceDir dir;
    dir.put("f.txt", "data");
    auto rapi = dir.session();
    auto other = dir.session();
    constexpr DWORD R = FILE_SHARE_READ, W = FILE_SHARE_WRITE;
    struct Case {
        DWORD firstAccess, firstShare, secondAccess, secondShare;
        bool secondOpens;
    };
    const Case cases[] = {
        {kRead, R, kRead, R, true},         {kRead, R, kRead, 0, false},      {kRead, 0, kRead, R, false},
        {kRead, R, kWrite, R | W, false},   {kRead, R | W, kWrite, R, true},  {kWrite, 0, kRead, R | W, false},
        {kWrite, W, kWrite, W, true},       {kWrite, R | W, kRead, R, false}, {0, 0, kReadWrite, 0, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.firstAccess << "/" << c.firstShare << " then " << c.secondAccess << "/" << c.secondShare);
        HANDLE first = rapi->CeCreateFile("\\f.txt", c.firstAccess, c.firstShare, OPEN_EXISTING, 0);
        ASSERT_NE(first, INVALID_HANDLE_VALUE);
        for (Rapi* second : {rapi.get(), other.get()}) {
            EXPECT_EQ(Opens(*second, "\\F.TXT", c.secondAccess, c.secondShare, OPEN_EXISTING), c.secondOpens);
            if (!c.secondOpens) {
                EXPECT_EQ(second->CeGetLastError(), ERROR_SHARING_VIOLATION);
            }
        }
        rapi->CeCloseHandle(first);
    }
    // An open file can be neither replaced, deleted nor moved, and its handle is its session's own.
    HANDLE h = rapi->CeCreateFile("\\f.txt", kRead, R | W, OPEN_EXISTING, 0);
    EXPECT_FALSE(Opens(*other, "\\f.txt", kWrite, 0, CREATE_ALWAYS));
    EXPECT_FALSE(other->CeDeleteFile("\\f.txt"));
    EXPECT_EQ(other->CeGetLastError(), ERROR_SHARING_VIOLATION);
    EXPECT_FALSE(rapi->CeMoveFile("\\f.txt", "\\g.txt"));
    EXPECT_EQ(rapi->CeGetLastError(), ERROR_SHARING_VIOLATION);
    EXPECT_EQ(dir.read("f.txt"), "data");
    EXPECT_FALSE(other->CeCloseHandle(h));
    EXPECT_EQ(other->CeGetLastError(), ERROR_INVALID_HANDLE);
    rapi.reset(); // a session that ends closes its handles
    EXPECT_TRUE(other->CeMoveFile("\\f.txt", "\\g.txt"));

    // A file another program holds (an exclusive flock(2) by another process) is
    // refused the same way; the store's fault table meets that for each change.
}


TEST(EmulatedFind, ListingsAndExactPathsInCaseInsensitiveNameOrder)
{
    DeviceDir dir;
    for (const char* name : {"beta.txt", "Alpha.txt", "alpha2.txt", "Zed", "charlie.TXT", ".hidden", "ro.txt"})
        dir.put(std::string("docs/") + name, "x");
    dir.mkdir("docs/Folder");
    dir.mkdir("docs/.cache");
    dir.mkdir("empty");
    ::chmod(dir.fs("docs/ro.txt").c_str(), 0444);
    auto rapi = dir.session();
    struct Case {
        const char* path;
        DWORD flags;
        DWORD code; // 0: found
        std::vector<std::string> names;
    };
    const std::vector<Case> cases = {
        {"\\DOCS\\\\*", FAF_NAME, 0, {".cache", ".hidden", "Alpha.txt", "alpha2.txt", "beta.txt", "charlie.TXT", "Folder", "ro.txt", "Zed"}},
        {"\\docs\\*", FAF_NAME | FAF_ATTRIB_NO_HIDDEN | FAF_FOLDERS_ONLY, 0, {"Folder"}},
        {"\\docs\\A*", FAF_NAME, 0, {"Alpha.txt", "alpha2.txt"}},
        {"\\docs\\?ed", FAF_NAME, 0, {"Zed"}},
        {"*", FAF_NAME, 0, {"docs", "empty"}},
        {"\\Docs\\ALPHA.txt", FAF_NAME, 0, {"Alpha.txt"}},
        {"\\docs\\b.txt", FAF_NAME, ERROR_FILE_NOT_FOUND, {}},
        {"\\nope\\*", FAF_NAME, ERROR_PATH_NOT_FOUND, {}},
        {"\\docs\\beta.txt\\*", FAF_NAME, ERROR_PATH_NOT_FOUND, {}},
        {"\\", FAF_NAME, ERROR_FILE_NOT_FOUND, {}},
    };
    std::vector<RapiFindData> found;
    DWORD last = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        found.assign(3, RapiFindData{});
        EXPECT_EQ(rapi->CeFindAllFiles(c.path, c.flags, found) != FALSE, c.code == 0);
        EXPECT_EQ(Names(found), c.names);
        last = c.code ? c.code : last;
        EXPECT_EQ(rapi->CeGetLastError(), last);
    }
}

// Which fields each find mask fills is seen through the store's records and
// properties; what only the device can get wrong is a host time it cannot hold.
TEST(EmulatedFind, HostTimesPastTheHostClocksRangeAreNoTime)
{
    DeviceDir dir;
    dir.put("t.txt", "");
    const system_clock::time_point zero{};
    auto rapi = dir.session();
    // A host file dated past the host clock's last year (2262) has no time on the
    // device, rather than a date wrapped round into the 18th century.
    constexpr time_t k2300 = 10413792000;
    timespec far[2] = {{k2300, 0}, {k2300 + 60, 0}};
    struct stat st {};
    if (::utimensat(AT_FDCWD, dir.fs("t.txt").c_str(), far, 0) != 0 || ::stat(dir.fs("t.txt").c_str(), &st) != 0 ||
        st.st_mtime != k2300 + 60)
        GTEST_SKIP() << "this file system cannot date a file in 2300";
    std::vector<RapiFindData> found;
    ASSERT_TRUE(rapi->CeFindAllFiles("\\t.txt", FAF_LASTACCESS_TIME | FAF_LASTWRITE_TIME, found));
    EXPECT_EQ(found.at(0).lastAccessTime, zero);
    EXPECT_EQ(found.at(0).lastModTime, zero);
}

} // namespace

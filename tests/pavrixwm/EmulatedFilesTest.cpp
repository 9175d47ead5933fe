// File handles, changes and their Win32 error codes on the emulated device.

#include "DeviceFixture.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace devicetest;

namespace {

constexpr DWORD kRead = GENERIC_READ;
constexpr DWORD kWrite = GENERIC_WRITE;
constexpr DWORD kReadWrite = GENERIC_READ | GENERIC_WRITE;

TEST(EmulatedFiles, WriteSeekReadAndReplace)
{
    DeviceDir dir;
    auto rapi = dir.session();
    HANDLE h = rapi->CeCreateFile("\\note.txt", kReadWrite, 0, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    ASSERT_TRUE(WriteText(*rapi, h, "hello world", written));
    EXPECT_EQ(written, 11u);
    EXPECT_EQ(rapi->CeSetFilePointer(h, 0, nullptr, FILE_END), 11u);
    EXPECT_EQ(rapi->CeSetFilePointer(h, 6, nullptr, FILE_BEGIN), 6u);
    EXPECT_EQ(ReadWhole(*rapi, h), "world");
    EXPECT_EQ(rapi->CeSetFilePointer(h, -5, nullptr, FILE_CURRENT), 6u);
    EXPECT_EQ(ReadWhole(*rapi, h), "world");
    EXPECT_TRUE(rapi->CeCloseHandle(h));
    EXPECT_EQ(dir.read("note.txt"), "hello world");

    // The whole-data overload writes every byte.
    h = rapi->CeCreateFile("\\note.txt", kWrite, 0, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    std::vector<uint8_t> data(100000);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i * 7);
    ASSERT_TRUE(rapi->CeWriteFile(h, data, written));
    EXPECT_EQ(written, data.size());
    rapi->CeCloseHandle(h);
    EXPECT_EQ(dir.read("note.txt"), std::string(data.begin(), data.end()));

    // CREATE_ALWAYS replaces an existing file with an empty one.
    h = rapi->CeCreateFile("\\note.txt", kWrite, 0, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    rapi->CeCloseHandle(h);
    EXPECT_EQ(dir.read("note.txt"), "");

    // Reading at the end succeeds with no bytes, as on Win32.
    h = rapi->CeCreateFile("\\note.txt", kRead, FILE_SHARE_READ, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
    uint8_t byte = 0;
    DWORD got = 99;
    EXPECT_TRUE(rapi->CeReadFile(h, &byte, 1, got));
    EXPECT_EQ(got, 0u);
    rapi->CeCloseHandle(h);
}

TEST(EmulatedFiles, DispositionsFollowWin32)
{
    DeviceDir dir;
    dir.put("old.txt", "old contents");
    auto rapi = dir.session();
    auto open = [&](const char* path, DWORD disposition) {
        HANDLE h = rapi->CeCreateFile(path, kReadWrite, 0, disposition, FILE_ATTRIBUTE_NORMAL);
        if (h != INVALID_HANDLE_VALUE)
            rapi->CeCloseHandle(h);
        return h != INVALID_HANDLE_VALUE;
    };
    EXPECT_FALSE(open("\\old.txt", CREATE_NEW));
    EXPECT_EQ(rapi->CeGetLastError(), ERROR_FILE_EXISTS);
    EXPECT_TRUE(open("\\old.txt", OPEN_ALWAYS));
    EXPECT_EQ(dir.read("old.txt"), "old contents");
    EXPECT_TRUE(open("\\new1.txt", OPEN_ALWAYS));
    EXPECT_TRUE(dir.exists("new1.txt"));
    EXPECT_TRUE(open("\\new2.txt", CREATE_NEW));
    EXPECT_TRUE(dir.exists("new2.txt"));
    EXPECT_FALSE(open("\\new3.txt", TRUNCATE_EXISTING));
    EXPECT_EQ(rapi->CeGetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_TRUE(open("\\old.txt", TRUNCATE_EXISTING));
    EXPECT_EQ(dir.read("old.txt"), "");
}

TEST(EmulatedFiles, FailuresSetTheirCodeAndSuccessesLeaveIt)
{
    DeviceDir dir;
    dir.put("docs/a.txt", "a");
    dir.put("locked.txt", "keep");
    ::chmod(dir.fs("locked.txt").c_str(), 0444);
    auto rapi = dir.session();
    EXPECT_EQ(rapi->CeGetLastError(), 0u);

    struct Case {
        const char* what;
        std::function<bool()> call; // true when the call reported failure
        DWORD code;
    };
    HANDLE reader = rapi->CeCreateFile("\\docs\\a.txt", kRead, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, 0);
    HANDLE writer = rapi->CeCreateFile("\\docs\\b.txt", kWrite, FILE_SHARE_READ | FILE_SHARE_WRITE, CREATE_ALWAYS, 0);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    uint8_t buffer[8];
    DWORD count = 0;
    LONG high = -1;
    const std::vector<Case> cases = {
        {"open missing file", [&] { return rapi->CeCreateFile("\\docs\\nope.txt", kRead, 0, OPEN_EXISTING, 0) == INVALID_HANDLE_VALUE; }, ERROR_FILE_NOT_FOUND},
        {"open in missing folder", [&] { return rapi->CeCreateFile("\\nodir\\a.txt", kRead, 0, OPEN_EXISTING, 0) == INVALID_HANDLE_VALUE; }, ERROR_PATH_NOT_FOUND},
        {"create in missing folder", [&] { return rapi->CeCreateFile("\\nodir\\a.txt", kWrite, 0, CREATE_ALWAYS, 0) == INVALID_HANDLE_VALUE; }, ERROR_PATH_NOT_FOUND},
        {"file used as folder", [&] { return rapi->CeCreateFile("\\docs\\a.txt\\x", kRead, 0, OPEN_EXISTING, 0) == INVALID_HANDLE_VALUE; }, ERROR_PATH_NOT_FOUND},
        {"open a folder", [&] { return rapi->CeCreateFile("\\docs", kRead, 0, OPEN_EXISTING, 0) == INVALID_HANDLE_VALUE; }, ERROR_ACCESS_DENIED},
        {"replace a folder", [&] { return rapi->CeCreateFile("\\DOCS", kWrite, 0, CREATE_ALWAYS, 0) == INVALID_HANDLE_VALUE; }, ERROR_ACCESS_DENIED},
        {"open the root", [&] { return rapi->CeCreateFile("\\", kRead, 0, OPEN_EXISTING, 0) == INVALID_HANDLE_VALUE; }, ERROR_ACCESS_DENIED},
        {"bad disposition", [&] { return rapi->CeCreateFile("\\docs\\a.txt", kRead, 0, 9, 0) == INVALID_HANDLE_VALUE; }, ERROR_INVALID_PARAMETER},
        {"invalid name", [&] { return rapi->CeCreateFile("\\docs\\a:b", kWrite, 0, CREATE_ALWAYS, 0) == INVALID_HANDLE_VALUE; }, ERROR_INVALID_NAME},
        {"write a read-only file", [&] { return rapi->CeCreateFile("\\locked.txt", kWrite, 0, OPEN_EXISTING, 0) == INVALID_HANDLE_VALUE; }, ERROR_ACCESS_DENIED},
        {"delete a read-only file", [&] { return !rapi->CeDeleteFile("\\locked.txt"); }, ERROR_ACCESS_DENIED},
        {"read a write-only handle", [&] { return !rapi->CeReadFile(writer, buffer, 1, count); }, ERROR_ACCESS_DENIED},
        {"write a read-only handle", [&] { return !rapi->CeWriteFile(reader, buffer, 1, count); }, ERROR_ACCESS_DENIED},
        {"read a bad handle", [&] { return !rapi->CeReadFile(0x12345, buffer, 1, count); }, ERROR_INVALID_HANDLE},
        {"write a bad handle", [&] { return !rapi->CeWriteFile(INVALID_HANDLE_VALUE, buffer, 1, count); }, ERROR_INVALID_HANDLE},
        {"close a bad handle", [&] { return !rapi->CeCloseHandle(0x12345); }, ERROR_INVALID_HANDLE},
        {"seek a bad handle", [&] { return rapi->CeSetFilePointer(0x12345, 0, nullptr, FILE_END) == INVALID_SET_FILE_POINTER; }, ERROR_INVALID_HANDLE},
        {"seek before the start", [&] { return rapi->CeSetFilePointer(reader, -1, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER; }, ERROR_NEGATIVE_SEEK},
        {"seek far before the start", [&] { return rapi->CeSetFilePointer(reader, 0, &high, FILE_END) == INVALID_SET_FILE_POINTER; }, ERROR_NEGATIVE_SEEK},
        {"bad move method", [&] { return rapi->CeSetFilePointer(reader, 0, nullptr, 7) == INVALID_SET_FILE_POINTER; }, ERROR_INVALID_PARAMETER},
    };
    for (const auto& c : cases) {
        EXPECT_TRUE(c.call()) << c.what;
        EXPECT_EQ(rapi->CeGetLastError(), c.code) << c.what;
        // A call that succeeds afterwards leaves the code alone.
        EXPECT_EQ(rapi->CeSetFilePointer(reader, 0, nullptr, FILE_BEGIN), 0u);
        EXPECT_EQ(rapi->CeGetLastError(), c.code) << c.what << " (after a success)";
    }
    EXPECT_EQ(dir.read("locked.txt"), "keep");
    EXPECT_TRUE(rapi->CeCloseHandle(reader));
    EXPECT_TRUE(rapi->CeCloseHandle(writer));
    EXPECT_FALSE(rapi->CeCloseHandle(writer)); // closed twice
    EXPECT_EQ(rapi->CeGetLastError(), ERROR_INVALID_HANDLE);
}

TEST(EmulatedFiles, NamesMatchWithoutRegardToCase)
{
    DeviceDir dir;
    dir.put("My Documents/Notes.TXT", "notes");
    dir.put("My Documents/R\xC3\xA9sum\xC3\xA9.doc", "cv");
    auto rapi = dir.session();

    HANDLE h = rapi->CeCreateFile("\\my documents\\notes.txt", kRead, FILE_SHARE_READ, OPEN_EXISTING, 0);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(ReadWhole(*rapi, h), "notes");
    rapi->CeCloseHandle(h);

    h = rapi->CeCreateFile("\\MY DOCUMENTS\\r\xC3\x89SUM\xC3\x89.DOC", kRead, FILE_SHARE_READ, OPEN_EXISTING, 0);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(ReadWhole(*rapi, h), "cv");
    rapi->CeCloseHandle(h);

    // Replacing through another spelling rewrites the same file; no second one appears.
    h = rapi->CeCreateFile("\\MY DOCUMENTS\\NOTES.txt", kWrite, 0, CREATE_ALWAYS, 0);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    WriteText(*rapi, h, "new", written);
    rapi->CeCloseHandle(h);
    EXPECT_EQ(dir.read("My Documents/Notes.TXT"), "new");
    EXPECT_FALSE(dir.exists("My Documents/NOTES.txt"));

    std::vector<RapiFindData> found;
    ASSERT_TRUE(rapi->CeFindAllFiles("\\MY DOCUMENTS\\NOTES.TXT", FAF_NAME, found));
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].filename, "Notes.TXT"); // the device's own spelling

    // Doubled and trailing separators name the same file.
    h = rapi->CeCreateFile("\\My Documents\\\\Notes.TXT", kRead, FILE_SHARE_READ, OPEN_EXISTING, 0);
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    rapi->CeCloseHandle(h);
}

TEST(EmulatedFiles, NothingOutsideFsIsReachable)
{
    DeviceDir dir;
    testsupport::WriteFile(dir / "secret.txt", "secret");
    testsupport::MakeDirs(dir / "outside");
    testsupport::WriteFile(dir / "outside/x.txt", "x");
    dir.put("inside.txt", "inside");
    dir.mkdir("sub");
    ASSERT_EQ(::symlink("../secret.txt", dir.fs("link").c_str()), 0);
    ASSERT_EQ(::symlink("../outside", dir.fs("out").c_str()), 0);
    ASSERT_EQ(::symlink("inside.txt", dir.fs("alias").c_str()), 0);
    ASSERT_EQ(::symlink("/", dir.fs("sub/root").c_str()), 0);
    auto rapi = dir.session();

    auto opens = [&](const std::string& path, DWORD access, DWORD disposition) {
        HANDLE h = rapi->CeCreateFile(path, access, 0, disposition, 0);
        if (h != INVALID_HANDLE_VALUE)
            rapi->CeCloseHandle(h);
        return h != INVALID_HANDLE_VALUE;
    };
    for (const char* path : {"\\..\\secret.txt", "\\sub\\..\\..\\secret.txt", "\\link", "\\LINK", "\\out\\x.txt",
                             "\\sub\\root\\etc\\passwd", "..\\secret.txt", "\\..", "/../secret.txt"}) {
        EXPECT_FALSE(opens(path, kRead, OPEN_EXISTING)) << path;
        EXPECT_FALSE(opens(path, kWrite, CREATE_ALWAYS)) << path;
        EXPECT_FALSE(opens(path, kWrite, OPEN_ALWAYS)) << path;
        std::vector<RapiFindData> found;
        rapi->CeFindAllFiles(path, 0xBF, found);
        EXPECT_TRUE(found.empty()) << path;
        EXPECT_FALSE(rapi->CeDeleteFile(path)) << path;
        EXPECT_FALSE(rapi->CeMoveFile("\\inside.txt", path)) << path;
    }
    std::vector<RapiFindData> found;
    rapi->CeFindAllFiles("\\out\\*", 0xBF, found);
    EXPECT_TRUE(found.empty());
    rapi->CeFindAllFiles("\\sub\\root\\*", 0xBF, found);
    EXPECT_TRUE(found.empty());
    EXPECT_FALSE(rapi->CeCreateDirectory("\\out"));
    EXPECT_FALSE(rapi->CeCreateDirectory("\\out\\new"));
    EXPECT_FALSE(rapi->CeMoveFile("\\link", "\\mine.txt"));

    EXPECT_EQ(testsupport::ReadFile(dir / "secret.txt"), "secret");
    EXPECT_TRUE(testsupport::PathExists(dir / "outside/x.txt"));
    EXPECT_FALSE(testsupport::PathExists(dir / "outside/new"));
    EXPECT_FALSE(testsupport::PathExists(dir / "secret.txt.tmp"));
    EXPECT_TRUE(dir.exists("inside.txt"));

    // The listing shows neither escaping link; a link that stays inside fs/ is an ordinary file.
    ASSERT_TRUE(rapi->CeFindAllFiles("\\*", FAF_NAME, found));
    EXPECT_EQ(Names(found), (std::vector<std::string>{"alias", "inside.txt", "sub"}));
    HANDLE h = rapi->CeCreateFile("\\alias", kRead, FILE_SHARE_READ, OPEN_EXISTING, 0);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(ReadWhole(*rapi, h), "inside");
    rapi->CeCloseHandle(h);
}

struct SharingCase {
    DWORD firstAccess, firstShare, secondAccess, secondShare;
    bool secondOpens;
};

TEST(EmulatedFiles, HandlesFollowTheSharingRules)
{
    DeviceDir dir;
    dir.put("f.txt", "data");
    auto rapi = dir.session();
    constexpr DWORD R = FILE_SHARE_READ, W = FILE_SHARE_WRITE;
    const SharingCase cases[] = {
        {kRead, R, kRead, R, true},
        {kRead, R, kRead, 0, false},           // the second refuses the first's reading
        {kRead, 0, kRead, R, false},           // the first refuses readers
        {kRead, R, kWrite, R | W, false},      // the first does not share writing
        {kRead, R | W, kWrite, R, true},
        {kWrite, 0, kRead, R | W, false},      // the daemon's upload mode shares nothing
        {kWrite, W, kWrite, W, true},
        {kWrite, R | W, kRead, R, false},      // the second does not let the first write
        {0, 0, kReadWrite, 0, true},           // a handle without access conflicts with nothing
    };
    for (const auto& c : cases) {
        HANDLE first = rapi->CeCreateFile("\\f.txt", c.firstAccess, c.firstShare, OPEN_EXISTING, 0);
        ASSERT_NE(first, INVALID_HANDLE_VALUE);
        HANDLE second = rapi->CeCreateFile("\\F.TXT", c.secondAccess, c.secondShare, OPEN_EXISTING, 0);
        EXPECT_EQ(second != INVALID_HANDLE_VALUE, c.secondOpens)
            << std::hex << c.firstAccess << "/" << c.firstShare << " then " << c.secondAccess << "/" << c.secondShare;
        if (second != INVALID_HANDLE_VALUE) {
            rapi->CeCloseHandle(second);
        } else {
            EXPECT_EQ(rapi->CeGetLastError(), ERROR_SHARING_VIOLATION);
        }
        rapi->CeCloseHandle(first);
    }

    // An open file can be neither deleted nor moved; once closed it can.
    HANDLE h = rapi->CeCreateFile("\\f.txt", kRead, R | W, OPEN_EXISTING, 0);
    EXPECT_FALSE(rapi->CeDeleteFile("\\f.txt"));
    EXPECT_EQ(rapi->CeGetLastError(), ERROR_SHARING_VIOLATION);
    EXPECT_FALSE(rapi->CeMoveFile("\\f.txt", "\\g.txt"));
    EXPECT_EQ(rapi->CeGetLastError(), ERROR_SHARING_VIOLATION);
    // A refused CREATE_ALWAYS leaves the contents alone.
    EXPECT_EQ(rapi->CeCreateFile("\\f.txt", kWrite, 0, CREATE_ALWAYS, 0), INVALID_HANDLE_VALUE);
    EXPECT_EQ(dir.read("f.txt"), "data");
    rapi->CeCloseHandle(h);
    EXPECT_TRUE(rapi->CeMoveFile("\\f.txt", "\\g.txt"));
    EXPECT_TRUE(rapi->CeDeleteFile("\\g.txt"));
}

TEST(EmulatedFiles, SessionsOfOneDeviceShareItsOpenFilesButNotTheirHandles)
{
    DeviceDir dir;
    dir.put("f.txt", "data");
    auto writer = dir.session();
    auto reader = dir.session();
    HANDLE h = writer->CeCreateFile("\\f.txt", kWrite, 0, OPEN_EXISTING, 0);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(reader->CeCreateFile("\\f.txt", kRead, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, 0),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(reader->CeGetLastError(), ERROR_SHARING_VIOLATION);
    EXPECT_FALSE(reader->CeDeleteFile("\\f.txt"));
    uint8_t byte = 'x';
    DWORD count = 0;
    EXPECT_FALSE(reader->CeWriteFile(h, &byte, 1, count)); // not its handle
    EXPECT_EQ(reader->CeGetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(reader->CeCloseHandle(h));

    writer.reset(); // a session that ends closes its handles
    HANDLE r = reader->CeCreateFile("\\f.txt", kRead, FILE_SHARE_READ, OPEN_EXISTING, 0);
    ASSERT_NE(r, INVALID_HANDLE_VALUE);
    EXPECT_EQ(ReadWhole(*reader, r), "data");
    reader->CeCloseHandle(r);
}

// Another process holding an exclusive flock(2) on a file until released: a forked
// child that locks, reports through one pipe and waits on another.
class LockHolder {
public:
    explicit LockHolder(const std::string& path)
    {
        int ready[2], release[2];
        if (::pipe(ready) != 0 || ::pipe(release) != 0)
            return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(ready[0]);
            ::close(release[1]);
            int fd = ::open(path.c_str(), O_RDONLY);
            char ok = (fd >= 0 && ::flock(fd, LOCK_EX) == 0) ? 1 : 0;
            (void)!::write(ready[1], &ok, 1);
            char byte;
            (void)!::read(release[0], &byte, 1); // returns when the parent closes its end
            ::_exit(0);
        }
        ::close(ready[1]);
        ::close(release[0]);
        release_ = release[1];
        char ok = 0;
        locked_ = ::read(ready[0], &ok, 1) == 1 && ok == 1;
        ::close(ready[0]);
    }
    ~LockHolder() { release(); }
    bool locked() const { return locked_; }
    void release()
    {
        if (release_ >= 0)
            ::close(release_);
        release_ = -1;
        if (pid_ > 0)
            ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

private:
    pid_t pid_ = -1;
    int release_ = -1;
    bool locked_ = false;
};

TEST(EmulatedFiles, AFileLockedByAnotherProcessIsHeldOpen)
{
    DeviceDir dir;
    dir.put("busy.txt", "in use");
    LockHolder holder(dir.fs("busy.txt"));
    ASSERT_TRUE(holder.locked());
    auto rapi = dir.session();

    for (DWORD access : {kRead, kWrite, kReadWrite, DWORD(0)}) {
        for (DWORD disposition : {OPEN_EXISTING, CREATE_ALWAYS, OPEN_ALWAYS, TRUNCATE_EXISTING}) {
            EXPECT_EQ(rapi->CeCreateFile("\\busy.txt", access, FILE_SHARE_READ | FILE_SHARE_WRITE, disposition, 0),
                      INVALID_HANDLE_VALUE);
            EXPECT_EQ(rapi->CeGetLastError(), ERROR_SHARING_VIOLATION);
        }
    }
    EXPECT_FALSE(rapi->CeDeleteFile("\\BUSY.TXT"));
    EXPECT_EQ(rapi->CeGetLastError(), ERROR_SHARING_VIOLATION);
    EXPECT_FALSE(rapi->CeMoveFile("\\busy.txt", "\\moved.txt"));
    EXPECT_EQ(rapi->CeGetLastError(), ERROR_SHARING_VIOLATION);
    EXPECT_EQ(dir.read("busy.txt"), "in use");
    // Finding it is not opening it.
    std::vector<RapiFindData> found;
    EXPECT_TRUE(rapi->CeFindAllFiles("\\busy.txt", 0x3B, found));
    EXPECT_EQ(found.size(), 1u);

    holder.release();
    HANDLE h = rapi->CeCreateFile("\\busy.txt", kRead, FILE_SHARE_READ, OPEN_EXISTING, 0);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(ReadWhole(*rapi, h), "in use");
    rapi->CeCloseHandle(h);
}

TEST(EmulatedFiles, FoldersAreMadeAndRemovedLikeWin32)
{
    DeviceDir dir;
    dir.put("full/a.txt", "a");
    auto rapi = dir.session();
    struct Case {
        const char* what;
        std::function<BOOL()> call;
        DWORD code; // 0: succeeds
    };
    const std::vector<Case> cases = {
        {"make", [&] { return rapi->CeCreateDirectory("\\New Folder"); }, 0},
        {"make again, other case", [&] { return rapi->CeCreateDirectory("\\new folder"); }, ERROR_ALREADY_EXISTS},
        {"make over a file", [&] { return rapi->CeCreateDirectory("\\full\\A.TXT"); }, ERROR_ALREADY_EXISTS},
        {"make the root", [&] { return rapi->CeCreateDirectory("\\"); }, ERROR_ALREADY_EXISTS},
        {"make without parent", [&] { return rapi->CeCreateDirectory("\\no\\child"); }, ERROR_PATH_NOT_FOUND},
        {"make a bad name", [&] { return rapi->CeCreateDirectory("\\a|b"); }, ERROR_INVALID_NAME},
        {"remove non-empty", [&] { return rapi->CeRemoveDirectory("\\full"); }, ERROR_DIR_NOT_EMPTY},
        {"remove a file", [&] { return rapi->CeRemoveDirectory("\\full\\a.txt"); }, ERROR_DIRECTORY},
        {"remove missing", [&] { return rapi->CeRemoveDirectory("\\missing"); }, ERROR_FILE_NOT_FOUND},
        {"remove the root", [&] { return rapi->CeRemoveDirectory("\\"); }, ERROR_ACCESS_DENIED},
        {"delete a folder", [&] { return rapi->CeDeleteFile("\\full"); }, ERROR_ACCESS_DENIED},
        {"delete missing", [&] { return rapi->CeDeleteFile("\\full\\b.txt"); }, ERROR_FILE_NOT_FOUND},
        {"delete in missing folder", [&] { return rapi->CeDeleteFile("\\nope\\b.txt"); }, ERROR_PATH_NOT_FOUND},
        {"delete a file", [&] { return rapi->CeDeleteFile("\\FULL\\A.txt"); }, 0},
        {"remove now empty", [&] { return rapi->CeRemoveDirectory("\\Full"); }, 0},
        {"remove made", [&] { return rapi->CeRemoveDirectory("\\NEW FOLDER\\"); }, 0},
    };
    for (const auto& c : cases) {
        BOOL result = c.call();
        EXPECT_EQ(result != FALSE, c.code == 0) << c.what;
        if (c.code) {
            EXPECT_EQ(rapi->CeGetLastError(), c.code) << c.what;
        }
    }
    EXPECT_FALSE(dir.exists("full"));
    EXPECT_FALSE(dir.exists("New Folder"));
}

TEST(EmulatedFiles, MovesRenameWithoutReplacing)
{
    DeviceDir dir;
    dir.put("a.txt", "a");
    dir.put("b.txt", "b");
    dir.put("dir/inner.txt", "inner");
    dir.mkdir("other");
    auto rapi = dir.session();
    struct Case {
        const char* from;
        const char* to;
        DWORD code;
    };
    const Case cases[] = {
        {"\\a.txt", "\\B.TXT", ERROR_ALREADY_EXISTS},
        {"\\missing.txt", "\\c.txt", ERROR_FILE_NOT_FOUND},
        {"\\a.txt", "\\nope\\c.txt", ERROR_PATH_NOT_FOUND},
        {"\\a.txt", "\\c:d", ERROR_INVALID_NAME},
        {"\\dir", "\\dir\\sub", ERROR_ACCESS_DENIED},
        {"\\", "\\x", ERROR_ACCESS_DENIED},
        {"\\A.TXT", "\\other\\moved.txt", 0},
        {"\\DIR", "\\other\\Dir2", 0},
        {"\\b.txt", "\\B.txt", 0}, // a change of case renames in place
    };
    for (const auto& c : cases) {
        BOOL result = rapi->CeMoveFile(c.from, c.to);
        EXPECT_EQ(result != FALSE, c.code == 0) << c.from << " -> " << c.to;
        if (c.code) {
            EXPECT_EQ(rapi->CeGetLastError(), c.code) << c.from << " -> " << c.to;
        }
    }
    EXPECT_EQ(dir.read("other/moved.txt"), "a");
    EXPECT_EQ(dir.read("other/Dir2/inner.txt"), "inner");
    EXPECT_TRUE(dir.exists("B.txt"));
    EXPECT_FALSE(dir.exists("b.txt"));
    EXPECT_FALSE(dir.exists("a.txt"));
}

TEST(EmulatedFiles, SixtyFourBitPositions)
{
    DeviceDir dir;
    dir.put("big.bin", "");
    ASSERT_EQ(::truncate(dir.fs("big.bin").c_str(), (4LL << 30) + 3), 0); // sparse, 4 GiB + 3
    auto rapi = dir.session();
    HANDLE h = rapi->CeCreateFile("\\big.bin", kReadWrite, 0, OPEN_EXISTING, 0);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    LONG high = 0;
    EXPECT_EQ(rapi->CeSetFilePointer(h, 0, &high, FILE_END), 3u);
    EXPECT_EQ(high, 1);
    // Without a high part the low half of the position comes back.
    EXPECT_EQ(rapi->CeSetFilePointer(h, 0, nullptr, FILE_END), 3u);
    high = 1;
    EXPECT_EQ(rapi->CeSetFilePointer(h, 2, &high, FILE_BEGIN), 2u);
    EXPECT_EQ(high, 1);
    DWORD written = 0;
    ASSERT_TRUE(WriteText(*rapi, h, "Z", written));
    rapi->CeCloseHandle(h);
    int fd = ::open(dir.fs("big.bin").c_str(), O_RDONLY);
    char c = 0;
    ASSERT_EQ(::pread(fd, &c, 1, (1LL << 32) + 2), 1);
    ::close(fd);
    EXPECT_EQ(c, 'Z');

    // A size of 0xFFFFFFFF reads like a failed seek, so the error code is cleared.
    ASSERT_EQ(::truncate(dir.fs("big.bin").c_str(), 0xFFFFFFFFLL), 0);
    h = rapi->CeCreateFile("\\big.bin", kRead, FILE_SHARE_READ, OPEN_EXISTING, 0);
    EXPECT_EQ(rapi->CeCreateFile("\\missing", kRead, 0, OPEN_EXISTING, 0), INVALID_HANDLE_VALUE);
    EXPECT_EQ(rapi->CeSetFilePointer(h, 0, nullptr, FILE_END), INVALID_SET_FILE_POINTER);
    EXPECT_EQ(rapi->CeGetLastError(), 0u);
    rapi->CeCloseHandle(h);
}

} // namespace

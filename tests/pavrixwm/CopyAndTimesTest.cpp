// Copies made on the device itself, and file times set through a handle: what
// replaces, what is refused, and that a refused copy leaves both ends as they were.

#include "DeviceFixture.h"

#include <sys/stat.h>

using namespace devicetest;

namespace {

TEST(DeviceCopy, CopiesReplacesOnlyWhenAskedAndRefusesWhatItMust)
{
    DeviceDir dir;
    dir.put("docs/a.txt", "source");
    dir.put("docs/b.txt", "old target");
    dir.put("held.txt", "held");
    testsupport::MakeDirs(dir.fs("folder"));
    auto held = testsupport::HoldFile(dir.fs("held.txt"));
    auto rapi = dir.session();

    struct Row {
        const char* from;
        const char* to;
        BOOL failIfExists;
        DWORD error; // 0: the copy succeeds
        const char* target; // the target's contents afterwards; null: absent
    };
    const Row rows[] = {
        {"\\Docs\\A.TXT", "\\copy.txt", TRUE, 0, "source"},
        {"\\docs\\a.txt", "\\docs\\b.txt", TRUE, ERROR_FILE_EXISTS, "old target"},
        {"\\docs\\a.txt", "\\docs\\b.txt", FALSE, 0, "source"},
        {"\\docs\\missing", "\\m.txt", TRUE, ERROR_FILE_NOT_FOUND, nullptr},
        {"\\nowhere\\a", "\\n.txt", TRUE, ERROR_PATH_NOT_FOUND, nullptr},
        {"\\folder", "\\f.txt", TRUE, ERROR_ACCESS_DENIED, nullptr},
        {"\\held.txt", "\\h.txt", TRUE, ERROR_SHARING_VIOLATION, nullptr},
        // Onto itself: the source stays whole rather than being truncated first.
        {"\\docs\\a.txt", "\\DOCS\\a.txt", FALSE, ERROR_SHARING_VIOLATION, "source"},
        {"\\docs\\a.txt", "\\nowhere\\x", TRUE, ERROR_PATH_NOT_FOUND, nullptr},
    };
    const std::string hostTarget[] = {"copy.txt", "docs/b.txt", "docs/b.txt", "m.txt", "n.txt",
                                      "f.txt",    "h.txt",      "docs/a.txt", "nowhere/x"};
    for (size_t i = 0; i < std::size(rows); ++i) {
        const Row& row = rows[i];
        SCOPED_TRACE(std::string(row.from) + " -> " + row.to);
        BOOL ok = rapi->CeCopyFile(row.from, row.to, row.failIfExists);
        EXPECT_EQ(ok != FALSE, row.error == 0);
        if (row.error) {
            EXPECT_EQ(rapi->CeGetLastError(), row.error);
        }
        if (row.target)
            EXPECT_EQ(testsupport::ReadFile(dir.fs(hostTarget[i])), row.target);
        else
            EXPECT_FALSE(testsupport::PathExists(dir.fs(hostTarget[i])));
    }
    EXPECT_EQ(testsupport::ReadFile(dir.fs("held.txt")), "held");
}

TEST(DeviceFileTimes, WriteAndAccessTimesAreSetThroughAWriteHandleOnly)
{
    DeviceDir dir;
    dir.put("a.txt", "x");
    auto rapi = dir.session();
    // 2014-12-01 00:00:00 UTC as a FILETIME: seconds since 1601 in 100 ns ticks.
    const uint64_t ticks = (uint64_t(1417392000) + 11644473600ULL) * 10000000ULL;
    const FILETIME when{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};

    HANDLE reading = rapi->CeCreateFile("\\a.txt", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, 0x80);
    EXPECT_FALSE(rapi->CeSetFileTime(reading, nullptr, nullptr, &when));
    EXPECT_EQ(rapi->CeGetLastError(), ERROR_ACCESS_DENIED);
    rapi->CeCloseHandle(reading);
    EXPECT_FALSE(rapi->CeSetFileTime(0x4242, nullptr, nullptr, &when));
    EXPECT_EQ(rapi->CeGetLastError(), ERROR_INVALID_HANDLE);

    HANDLE writing = rapi->CeCreateFile("\\a.txt", GENERIC_WRITE, 0, OPEN_EXISTING, 0x80);
    ASSERT_NE(writing, INVALID_HANDLE_VALUE);
    struct stat before {};
    ::stat(dir.fs("a.txt").c_str(), &before);
    EXPECT_TRUE(rapi->CeSetFileTime(writing, &when, nullptr, &when));
    rapi->CeCloseHandle(writing);
    struct stat after {};
    ::stat(dir.fs("a.txt").c_str(), &after);
    EXPECT_EQ(after.st_mtim.tv_sec, 1417392000);
    // A null time is left as it was.
    EXPECT_EQ(after.st_atim.tv_sec, before.st_atim.tv_sec);
    EXPECT_EQ(testsupport::ReadFile(dir.fs("a.txt")), "x");
}

} // namespace

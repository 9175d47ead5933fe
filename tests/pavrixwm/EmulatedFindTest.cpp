// CeFindAllFiles on the emulated device: order, patterns, FAF masks, times, sizes.

#include "DeviceFixture.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace devicetest;
using std::chrono::system_clock;

namespace {

system_clock::time_point At(int64_t seconds, int64_t nanoseconds)
{
    return system_clock::time_point(std::chrono::duration_cast<system_clock::duration>(
        std::chrono::seconds(seconds) + std::chrono::nanoseconds(nanoseconds)));
}

void SetTimes(const std::string& path, timespec access, timespec modification)
{
    timespec times[2] = {access, modification};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

TEST(EmulatedFind, ListsAFolderInCaseInsensitiveNameOrder)
{
    DeviceDir dir;
    for (const char* name : {"beta.txt", "Alpha.txt", "alpha2.txt", "Zed", "charlie.TXT", ".profile"})
        dir.put(std::string("docs/") + name, "x");
    dir.mkdir("docs/Folder");
    dir.mkdir("empty");
    auto rapi = dir.session();

    std::vector<RapiFindData> found;
    ASSERT_TRUE(rapi->CeFindAllFiles("\\docs\\*", 0xBF, found));
    EXPECT_EQ(Names(found), (std::vector<std::string>{".profile", "Alpha.txt", "alpha2.txt", "beta.txt", "charlie.TXT",
                                                      "Folder", "Zed"}));
    // The folder spelled otherwise, and with a doubled separator, lists the same.
    std::vector<RapiFindData> again;
    ASSERT_TRUE(rapi->CeFindAllFiles("\\DOCS\\\\*", 0xBF, again));
    EXPECT_EQ(again, found);

    struct Case {
        const char* pattern;
        DWORD flags;
        std::vector<std::string> names;
    };
    const std::vector<Case> cases = {
        {"\\docs\\*.txt", FAF_NAME, {"Alpha.txt", "alpha2.txt", "beta.txt", "charlie.TXT"}},
        {"\\docs\\a*", FAF_NAME, {"Alpha.txt", "alpha2.txt"}},
        {"\\docs\\?ed", FAF_NAME, {"Zed"}},
        {"\\docs\\*", FAF_NAME | FAF_FOLDERS_ONLY, {"Folder"}},
        {"\\docs\\*", FAF_NAME | FAF_ATTRIB_NO_HIDDEN, {"Alpha.txt", "alpha2.txt", "beta.txt", "charlie.TXT", "Folder", "Zed"}},
        {"\\*", FAF_NAME, {"docs", "empty"}},
        {"*", FAF_NAME, {"docs", "empty"}},
        {"\\empty\\*", FAF_NAME, {}},
        {"\\docs\\nothing*", FAF_NAME, {}},
    };
    for (const auto& c : cases) {
        EXPECT_TRUE(rapi->CeFindAllFiles(c.pattern, c.flags, found)) << c.pattern;
        EXPECT_EQ(Names(found), c.names) << c.pattern;
    }
}

TEST(EmulatedFind, ExactPathsAndMissingOnes)
{
    DeviceDir dir;
    dir.put("My Documents/a.txt", "abc");
    auto rapi = dir.session();
    std::vector<RapiFindData> found;

    ASSERT_TRUE(rapi->CeFindAllFiles("\\my documents", 0xBF, found));
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].filename, "My Documents");
    EXPECT_EQ(found[0].attributes, FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(found[0].fileSize, 0u);

    ASSERT_TRUE(rapi->CeFindAllFiles("\\My Documents\\A.TXT", 0xBF, found));
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].filename, "a.txt");
    EXPECT_EQ(found[0].fileSize, 3u);

    struct Case {
        const char* path;
        DWORD code;
    };
    for (const Case& c : {Case{"\\My Documents\\b.txt", ERROR_FILE_NOT_FOUND}, Case{"\\nope\\a.txt", ERROR_PATH_NOT_FOUND},
                          Case{"\\nope\\*", ERROR_PATH_NOT_FOUND}, Case{"\\My Documents\\a.txt\\*", ERROR_PATH_NOT_FOUND},
                          Case{"\\", ERROR_FILE_NOT_FOUND}}) {
        found.assign(3, RapiFindData{});
        EXPECT_FALSE(rapi->CeFindAllFiles(c.path, 0xBF, found)) << c.path;
        EXPECT_TRUE(found.empty()) << c.path;
        EXPECT_EQ(rapi->CeGetLastError(), c.code) << c.path;
    }
}

TEST(EmulatedFind, AttributesOfFilesFoldersHiddenAndReadOnlyNames)
{
    DeviceDir dir;
    dir.put("plain.txt", "x");
    dir.put(".hidden", "x");
    dir.put("ro.txt", "x");
    ::chmod(dir.fs("ro.txt").c_str(), 0444);
    dir.mkdir("folder");
    dir.mkdir(".cache");
    auto rapi = dir.session();
    std::vector<RapiFindData> found;
    ASSERT_TRUE(rapi->CeFindAllFiles("\\*", FAF_NAME | FAF_ATTRIBUTES, found));
    std::map<std::string, uint32_t> attributes;
    for (const auto& entry : found)
        attributes[entry.filename] = entry.attributes;
    EXPECT_EQ(attributes["plain.txt"], FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(attributes[".hidden"], FILE_ATTRIBUTE_HIDDEN);
    EXPECT_EQ(attributes["ro.txt"], FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(attributes["folder"], FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(attributes[".cache"], FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN);
}

TEST(EmulatedFind, MaskChoosesTheFieldsAndTimesKeepFileTimeAccuracy)
{
    DeviceDir dir;
    dir.put("t.txt", "");
    ASSERT_EQ(::truncate(dir.fs("t.txt").c_str(), (4LL << 30) + 3), 0); // sparse: 4 GiB + 3 bytes
    SetTimes(dir.fs("t.txt"), {1100000000, 987654321}, {981173106, 123456789});
    struct statx sx {};
    ASSERT_EQ(::statx(AT_FDCWD, dir.fs("t.txt").c_str(), 0, STATX_BTIME, &sx), 0);
    auto birth = (sx.stx_mask & STATX_BTIME) ? At(sx.stx_btime.tv_sec, sx.stx_btime.tv_nsec - sx.stx_btime.tv_nsec % 100)
                                             : At(981173106, 123456700);
    auto rapi = dir.session();

    const auto modified = At(981173106, 123456700); // 100 ns steps: the last two digits go
    const auto accessed = At(1100000000, 987654300);
    const uint64_t size = (4ULL << 30) + 3;
    struct Case {
        DWORD mask;
        RapiFindData expected;
    };
    auto make = [](std::string name, uint32_t attributes, system_clock::time_point created,
                   system_clock::time_point access, system_clock::time_point write, uint64_t bytes) {
        RapiFindData d;
        d.filename = std::move(name);
        d.attributes = attributes;
        d.creationTime = created;
        d.lastAccessTime = access;
        d.lastModTime = write;
        d.fileSize = bytes;
        return d;
    };
    const system_clock::time_point zero{};
    const std::vector<Case> cases = {
        {0xBF, make("t.txt", FILE_ATTRIBUTE_NORMAL, birth, accessed, modified, size)},
        {0x3B, make("", FILE_ATTRIBUTE_NORMAL, birth, zero, modified, size)},
        {FAF_NAME, make("t.txt", 0, zero, zero, zero, 0)},
        {FAF_ATTRIBUTES, make("", FILE_ATTRIBUTE_NORMAL, zero, zero, zero, 0)},
        {FAF_CREATION_TIME, make("", 0, birth, zero, zero, 0)},
        {FAF_LASTACCESS_TIME, make("", 0, zero, accessed, zero, 0)},
        {FAF_LASTWRITE_TIME, make("", 0, zero, zero, modified, 0)},
        {FAF_SIZE_LOW, make("", 0, zero, zero, zero, 3)},
        {FAF_SIZE_HIGH, make("", 0, zero, zero, zero, 1ULL << 32)},
        {0, make("", 0, zero, zero, zero, 0)},
    };
    for (const auto& c : cases) {
        std::vector<RapiFindData> found;
        // Asked for one file and for a listing of its folder alike.
        for (const char* path : {"\\T.TXT", "\\*"}) {
            ASSERT_TRUE(rapi->CeFindAllFiles(path, c.mask, found));
            ASSERT_EQ(found.size(), 1u);
            EXPECT_EQ(found[0], c.expected) << "mask " << std::hex << c.mask << " " << path;
        }
    }
}

TEST(EmulatedFind, AWrittenFileShowsItsNewSizeAndTime)
{
    DeviceDir dir;
    auto rapi = dir.session();
    auto before = system_clock::now() - std::chrono::seconds(2);
    HANDLE h = rapi->CeCreateFile("\\new.bin", GENERIC_WRITE, 0, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    std::vector<uint8_t> data(70000, 0x5A);
    DWORD written = 0;
    ASSERT_TRUE(rapi->CeWriteFile(h, data, written));
    rapi->CeCloseHandle(h);
    std::vector<RapiFindData> found;
    ASSERT_TRUE(rapi->CeFindAllFiles("\\new.bin", 0xBF, found));
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].fileSize, 70000u);
    EXPECT_GE(found[0].lastModTime, before);
    EXPECT_LE(found[0].lastModTime, system_clock::now() + std::chrono::seconds(2));
    EXPECT_LE(found[0].creationTime, found[0].lastModTime + std::chrono::seconds(1));
}

} // namespace

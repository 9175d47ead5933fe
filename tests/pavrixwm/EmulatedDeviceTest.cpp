// The emulated device and the Rapi session over it: the trace file, sessions
// without a device, confinement to fs/, copies and file times, listings and
// handles, whole-file reads past 4 GiB, the link's pace, and changes to the settings.

#include "DeviceFixture.h"

#include "pavrixwm/DeviceNames.h"
#include "pavrixwm/ReadAll.h"
#include "platform/PlistObject.h"

#include <algorithm>
#include <chrono>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <sys/file.h>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>

using namespace devicetest;

// The Rapi session: the trace file, and sessions without a device.

TEST(RapiSession, TraceHasOneLinePerCallWrittenBeforeItReturns)
{
    DeviceDir dir;
    dir.put("docs/a.txt", "abc");
    const std::string trace = dir / "trace.log";
    Rapi rapi(EmulatedDevice::open(dir.path()), trace);
    std::vector<RapiFindData> found;
    uint8_t buffer[8];
    DWORD count = 0;
    HANDLE h = INVALID_HANDLE_VALUE;
    HKEY key = 0;
    std::optional<RegistryValue> value;
    STORE_INFORMATION store;
    uint32_t words[5];
    uint8_t* reply = nullptr;
    const std::vector<std::pair<std::function<void()>, std::string>> steps = {
        {[&] { rapi.CeFindAllFiles("\\Docs\\*", 0xBF, found); }, "CeFindAllFiles\t\\Docs\\*"},
        {[&] { h = rapi.CeCreateFile("\\docs\\A.TXT", GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING, 0x80); }, "CeCreateFile\t\\docs\\A.TXT"},
        {[&] { rapi.CeSetFilePointer(h, 0, nullptr, FILE_END); }, "CeSetFilePointer"},
        {[&] { rapi.CeReadFile(h, buffer, 1, count); }, "CeReadFile"},
        {[&] { rapi.CeWriteFile(h, Bytes("xy"), count); }, "CeWriteFile"},
        {[&] { rapi.CeSetFileTime(h, nullptr, nullptr, nullptr); }, "CeSetFileTime"},
        {[&] { rapi.CeCloseHandle(h); }, "CeCloseHandle"},
        {[&] { rapi.CeGetLastError(); }, "CeGetLastError"},
        {[&] { rapi.CeCreateDirectory("\\new dir"); }, "CeCreateDirectory\t\\new dir"},
        {[&] { rapi.CeMoveFile("\\new dir", "\\docs\\moved"); }, "CeMoveFile\t\\new dir\t\\docs\\moved"},
        {[&] { rapi.CeRemoveDirectory("\\docs\\moved"); }, "CeRemoveDirectory\t\\docs\\moved"},
        {[&] { rapi.CeCopyFile("\\docs\\a.txt", "\\b.txt", TRUE); }, "CeCopyFile\t\\docs\\a.txt\t\\b.txt"},
        {[&] { rapi.CeDeleteFile("\\docs\\a.txt"); }, "CeDeleteFile\t\\docs\\a.txt"},
        {[&] { rapi.CeGetStoreInformation(store); }, "CeGetStoreInformation"},
        {[&] { rapi.GetSpaceOnCards(words); }, "GetSpaceOnCards"},
        {[&] { rapi.CeRegCreateKeyEx(HKEY_LOCAL_MACHINE, "A\\B", std::nullopt, key, nullptr); }, "CeRegCreateKeyEx"},
        {[&] { rapi.CeRegSetValueEx(key, "v", RegistryValue(int64_t(1))); }, "CeRegSetValueEx"},
        {[&] { rapi.CeRegQueryValueEx(key, "v", value); }, "CeRegQueryValueEx"},
        {[&] { rapi.CeRegCloseKey(key); }, "CeRegCloseKey"},
        {[&] { rapi.CeRegOpenKeyEx(HKEY_LOCAL_MACHINE, "A", key); }, "CeRegOpenKeyEx"},
        {[&] { rapi.CeRapiInvoke("pavrix", "GetDLLVersion", 0, nullptr, &count, &reply); }, "CeRapiInvoke"},
        {[&] { rapi.CeRapiFreeBuffer(reply); }, ""}, // handing a block back is no device call
        {[&] { Rapi(EmulatedDevice::open(dir.path()), trace).CeFindAllFiles("\\*", 0xBF, found); }, "CeFindAllFiles\t\\*"}, // appended to, never replaced
    };
    std::string expected;
    for (const auto& [call, line] : steps) {
        call();
        expected += line.empty() ? "" : line + "\n";
        ASSERT_EQ(ReadFile(dir / "trace.log"), expected);
    }
}

// Without a device each call is still traced, finds are empty and everything else
// fails; registry calls and invocations answer their code and leave the last error
// as it was, file calls set it.
TEST(RapiSession, WithoutADeviceCallsAreTracedFindsAreEmptyAndEverythingElseFails)
{
    TempDir temp;
    MakeDirs(temp / "nofs");
    for (std::string setting : {std::string("none"), temp / "nofs"}) {
        SCOPED_TRACE(setting);
        std::remove((temp / "trace.log").c_str());
        Rapi rapi(setting == "none" ? nullptr : EmulatedDevice::open(setting), temp / "trace.log");
        EXPECT_FALSE(rapi.deviceConnection() || rapi.availableDevices());
        HKEY key = 0;
        uint8_t buffer[4], *reply = buffer;
        DWORD count = 7;
        EXPECT_EQ(rapi.CeRegOpenKeyEx(HKEY_CURRENT_USER, "ControlPanel\\Owner", key), LONG(ERROR_DEVICE_NOT_CONNECTED));
        EXPECT_EQ(rapi.CeRapiInvoke("pavrix", "PXCeHasRichInk", 0, nullptr, &count, &reply),
                  int32_t(ERROR_DEVICE_NOT_CONNECTED));
        EXPECT_EQ(reply, nullptr);
        EXPECT_EQ(rapi.CeGetLastError(), 0u);
        std::vector<RapiFindData> found(2);
        rapi.CeFindAllFiles("\\*", 0xBF, found);
        EXPECT_TRUE(found.empty());
        EXPECT_EQ(rapi.CeCreateFile("\\a.txt", GENERIC_WRITE, 0, CREATE_ALWAYS, 0x80), INVALID_HANDLE_VALUE);
        EXPECT_FALSE(rapi.CeReadFile(0x100, buffer, 4, count) || rapi.CeDeleteFile("\\a") || rapi.CeMoveFile("\\a", "\\b"));
        EXPECT_EQ(rapi.CeGetLastError(), ERROR_DEVICE_NOT_CONNECTED);
        EXPECT_EQ(count, 0u);
        EXPECT_EQ(ReadFile(temp / "trace.log"),
                  "CeRegOpenKeyEx\nCeRapiInvoke\nCeGetLastError\nCeFindAllFiles\t\\*\nCeCreateFile\t\\a.txt\n"
                  "CeReadFile\nCeDeleteFile\t\\a\nCeMoveFile\t\\a\t\\b\nCeGetLastError\n");
    }
}

// The emulated device's files stay inside its fs/ folder: no path a caller gives,
// and no link inside, reaches anything beside it.

constexpr DWORD kRead = GENERIC_READ, kWrite = GENERIC_WRITE;

TEST(EmulatedFiles, NothingOutsideFsIsReachable)
{
    DeviceDir dir;
    WriteFile(dir / "secret.txt", "secret");
    MakeDirs(dir / "outside");
    dir.put("inside.txt", "inside");
    MakeDirs(dir.fs("sub"));
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
    EXPECT_EQ(ReadFile(dir / "secret.txt"), "secret");
    EXPECT_FALSE(PathExists(dir / "outside/x.txt"));
    // The listing shows neither escaping link; a link that stays inside fs/ is an ordinary file.
    ASSERT_TRUE(rapi->CeFindAllFiles("\\*", FAF_NAME, found));
    EXPECT_EQ(Names(found), (std::vector<std::string>{"alias", "inside.txt", "sub"}));
    EXPECT_EQ(ReadWhole(*rapi, "\\alias"), "inside");
}

// Copies made on the device itself, and file times set through a handle: what
// replaces, what is refused, and that a refused copy leaves both ends as they were.

TEST(DeviceCopy, CopiesReplacesOnlyWhenAskedAndRefusesWhatItMust)
{
    DeviceDir dir;
    dir.put("docs/a.txt", "source");
    dir.put("docs/b.txt", "old target");
    dir.put("held.txt", "held");
    MakeDirs(dir.fs("folder"));
    auto held = HoldFile(dir.fs("held.txt"));
    auto rapi = dir.session();

    // from, to, fail if it exists, the error (0: none), the target on the host, and
    // what it holds afterwards (none: absent)
    const std::tuple<const char*, const char*, BOOL, DWORD, std::string, std::optional<std::string>> rows[] = {
        {"\\Docs\\A.TXT", "\\copy.txt", TRUE, 0, "copy.txt", "source"},
        {"\\docs\\a.txt", "\\docs\\b.txt", TRUE, ERROR_FILE_EXISTS, "docs/b.txt", "old target"},
        {"\\docs\\a.txt", "\\docs\\b.txt", FALSE, 0, "docs/b.txt", "source"},
        {"\\docs\\missing", "\\m.txt", TRUE, ERROR_FILE_NOT_FOUND, "m.txt", {}},
        {"\\nowhere\\a", "\\n.txt", TRUE, ERROR_PATH_NOT_FOUND, "n.txt", {}},
        {"\\folder", "\\f.txt", TRUE, ERROR_ACCESS_DENIED, "f.txt", {}},
        {"\\held.txt", "\\h.txt", TRUE, ERROR_SHARING_VIOLATION, "h.txt", {}},
        // Onto itself: the source stays whole rather than being truncated first.
        {"\\docs\\a.txt", "\\DOCS\\a.txt", FALSE, ERROR_SHARING_VIOLATION, "docs/a.txt", "source"},
        {"\\docs\\a.txt", "\\nowhere\\x", TRUE, ERROR_PATH_NOT_FOUND, "nowhere/x", {}},
    };
    for (const auto& [from, to, failIfExists, error, hostTarget, contents] : rows) {
        SCOPED_TRACE(std::string(from) + " -> " + to);
        BOOL ok = rapi->CeCopyFile(from, to, failIfExists);
        EXPECT_EQ(ok ? DWORD(0) : rapi->CeGetLastError(), error);
        const std::string target = dir.fs(hostTarget);
        EXPECT_EQ(PathExists(target) ? std::optional(ReadFile(target)) : std::nullopt, contents);
    }
    EXPECT_EQ(ReadFile(dir.fs("held.txt")), "held");
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
    EXPECT_EQ(ReadFile(dir.fs("a.txt")), "x");
}

// A host time reaches the device cut to 100 ns, and a time the host clock cannot
// hold (ext4 keeps dates to 2446) as no time rather than one wrapped round.
TEST(DeviceFileTimes, HostTimesAreCutToTicksAndKeptWithinTheClock)
{
    DeviceDir dir;
    dir.put("a.txt", "x");
    auto rapi = dir.session();
    using std::chrono::nanoseconds;
    const std::tuple<int64_t, long, int64_t> rows[] = {
        // host seconds, host nanoseconds, nanoseconds since 1970 on the device
        {1417392000, 123456789, 1417392000123456700},
        {-1, 999999999, -100},
        {9223372036, 854775807, 9223372036854775800},   // 2262-04-11, the clock's last tick
        {9223372037, 0, 0},                             // a second later
        {14000000000, 0, 0},                            // 2413
    };
    for (const auto& [seconds, nanos, device] : rows) {
        SCOPED_TRACE(seconds);
        const struct timespec times[2] = {{seconds, nanos}, {seconds, nanos}};
        struct stat kept {};
        ASSERT_EQ(::utimensat(AT_FDCWD, dir.fs("a.txt").c_str(), times, 0), 0) << errno;
        ASSERT_EQ(::stat(dir.fs("a.txt").c_str(), &kept), 0);
        ASSERT_EQ(kept.st_mtim.tv_sec, seconds) << "the host file system cannot hold this time";
        std::vector<RapiFindData> found;
        ASSERT_TRUE(rapi->CeFindAllFiles("\\a.txt", FAF_LASTWRITE_TIME | FAF_LASTACCESS_TIME, found));
        ASSERT_EQ(found.size(), 1u);
        EXPECT_EQ(found[0].lastModTime.time_since_epoch(), nanoseconds(device));
        EXPECT_EQ(found[0].lastAccessTime.time_since_epoch(), nanoseconds(device));
    }
}

// A listing's order for every kind of name the host may hold, and what an open
// handle does at its edges: seeks before the start, and opens that would truncate
// a file another program holds.

TEST(EmulatedListing, NamesComeInDeviceOrderWhateverTheirCharacters)
{
    DeviceDir dir;
    // ASCII in both cases, characters of two, three and four bytes, upper and
    // lower case beyond ASCII, bytes that are no character at all.
    const std::vector<std::string> names = {
        "b.txt", "B2", "a", "A_", "_a", "Zeta", "e.txt", "\xC3\x89t\xC3\xA9.txt" /* Été */,
        "\xC3\xA9t\xC3\xA9" /* été */, "\xCE\xA9mega" /* Ωmega */, "\xE2\x82\xAC" /* € */,
        "\xF0\x9F\x98\x80" /* U+1F600 */, "\xFF" "bad", "\xFE" "bad", "~", "0",
        // longer than eight bytes and alike in their first eight, or in all but case
        "Report-2024-b.txt", "report-2024-A.txt", "REPORT-2024-a.txt", "Report-2", "report-20", "Report-1999"};
    for (const auto& name : names)
        dir.put(name, "x");
    auto rapi = dir.session();
    std::vector<RapiFindData> found;
    ASSERT_TRUE(rapi->CeFindAllFiles("\\*", FAF_NAME | FAF_ATTRIBUTES, found));
    auto expected = names;
    std::sort(expected.begin(), expected.end(), DeviceNameLess);
    EXPECT_EQ(Names(found), expected);
}

TEST(EmulatedListing, ANameIsFoundWhateverItsCase)
{
    DeviceDir dir;
    for (const char* name : {"\xC3\x89t\xC3\xA9.txt" /* Été.txt */, "\xE2\x84\xAA.txt" /* Kelvin sign */,
                             "MiXeD.Bin", "\xFF" "x", "plain"})
        dir.put(name, name);
    auto rapi = dir.session();
    const std::pair<const char*, const char*> rows[] = {
        {"\\\xC3\xA9T\xC3\x89.TXT", "\xC3\x89t\xC3\xA9.txt"}, // éTÉ.TXT
        {"\\k.TXT", "\xE2\x84\xAA.txt"},
        {"\\mixed.bin", "MiXeD.Bin"},
        {"\\\xFF" "X", "\xFF" "x"},
        {"\\PLAIN", "plain"},
        {"\\\xFE" "x", nullptr},
        {"\\plai", nullptr},
        {"\\plainer", nullptr},
    };
    for (const auto& [path, found] : rows)
        EXPECT_EQ(Found(*rapi, path), found ? std::vector<std::string>{found} : std::vector<std::string>{}) << path;
}

// Every spelling of a path Win32 accepts names the same entry: slashes for
// backslashes, doubled and trailing separators, "." names; ".." never climbs.
TEST(EmulatedListing, APathIsFoundHoweverItIsSpelled)
{
    DeviceDir dir;
    dir.put("Docs/a.txt", "a");
    auto rapi = dir.session();
    const std::pair<const char*, bool> rows[] = {
        {"\\Docs\\a.txt", true},     {"/Docs/a.txt", true},        {"\\Docs/a.txt", true},
        {"\\\\Docs\\\\a.txt", true}, {"\\Docs\\a.txt\\", true},    {"\\.\\Docs\\.\\a.txt", true},
        {"Docs\\a.txt", true},       {"\\Docs\\..\\Docs\\a.txt", false}, {"\\Docs\\a.txt\\..", false},
        {"\\Docs\\a.tx", false},     {"\\Doc\\a.txt", false},
    };
    for (const auto& [path, found] : rows)
        EXPECT_EQ(Found(*rapi, path), found ? std::vector<std::string>{"a.txt"} : std::vector<std::string>{}) << path;
    // A listing's folder is spelled the same ways.
    for (const char* pattern : {"\\Docs\\*", "/Docs/*", "\\Docs\\\\*", "Docs/*"})
        EXPECT_EQ(Found(*rapi, pattern), std::vector<std::string>{"a.txt"}) << pattern;
}

// A name missed in one letter case is looked up again after every change to its
// folder, whoever makes it and however soon: nothing is answered from a stale view.
TEST(EmulatedListing, AMissedNameFollowsEveryChangeToItsFolder)
{
    namespace fs = std::filesystem;
    DeviceDir dir;
    dir.put("Top/Docs/a.txt", "a");
    auto rapi = dir.session();
    auto mine = [&](const char* path) {
        HANDLE h = rapi->CeCreateFile(path, GENERIC_WRITE, 0, CREATE_NEW, FILE_ATTRIBUTE_NORMAL);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        rapi->CeCloseHandle(h);
    };
    // a change, then a path looked up and the name found (none: missing)
    const std::tuple<std::function<void()>, const char*, const char*> rows[] = {
        {[] {}, "\\top\\docs\\README.TXT", nullptr},
        {[&] { dir.put("Top/Docs/ReadMe.txt", "r"); }, "\\TOP\\DOCS\\readme.txt", "ReadMe.txt"},
        {[&] { fs::rename(dir.fs("Top/Docs/ReadMe.txt"), dir.fs("Top/Docs/Notes.txt")); }, "\\top\\docs\\readme.txt", nullptr},
        {[] {}, "\\top\\docs\\NOTES.TXT", "Notes.txt"},
        {[&] { fs::remove(dir.fs("Top/Docs/Notes.txt")); }, "\\top\\docs\\notes.txt", nullptr},
        {[&] {
             dir.put("Top/Docs/x.TXT", "1");
             dir.put("Top/Docs/X.txt", "2");
         }, "\\top\\docs\\x.txt", "X.txt"},
        {[&] { fs::remove(dir.fs("Top/Docs/X.txt")); }, "\\top\\docs\\x.txt", "x.TXT"},
        {[&] { mine("\\Top\\Docs\\Mine.txt"); }, "\\top\\docs\\MINE.TXT", "Mine.txt"},
        {[&] { EXPECT_TRUE(rapi->CeMoveFile("\\Top\\Docs\\Mine.txt", "\\Top\\Docs\\Ours.txt")); }, "\\top\\docs\\mine.txt", nullptr},
        // The folder moved away with its parent, and another made in its place.
        {[&] {
             fs::rename(dir.fs("Top"), dir.fs("Old"));
             dir.put("Top/Docs/New.txt", "n");
         }, "\\top\\docs\\x.txt", nullptr},
        {[] {}, "\\top\\docs\\NEW.TXT", "New.txt"},
        {[] {}, "\\old\\docs\\OURS.TXT", "Ours.txt"},
    };
    for (const auto& [change, path, found] : rows) {
        change();
        EXPECT_EQ(Found(*rapi, path), found ? std::vector<std::string>{found} : std::vector<std::string>{}) << path;
    }
}

TEST(EmulatedHandles, SeeksFromEachOriginAndBeforeTheStart)
{
    DeviceDir dir;
    dir.put("ten.bin", "0123456789");
    auto rapi = dir.session();
    HANDLE h = rapi->CeCreateFile("\\ten.bin", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    // distance, method, the position (INVALID_SET_FILE_POINTER: refused, the position
    // stays), the error, the byte read next
    const std::tuple<LONG, DWORD, DWORD, DWORD, char> rows[] = {
        {-3, FILE_END, 7, 0, '7'},
        {1, FILE_CURRENT, 9, 0, '9'},
        {-4, FILE_CURRENT, 6, 0, '6'},
        {-1, FILE_BEGIN, INVALID_SET_FILE_POINTER, ERROR_NEGATIVE_SEEK, '7'},
        {-11, FILE_END, INVALID_SET_FILE_POINTER, ERROR_NEGATIVE_SEEK, '8'},
        {-10, FILE_CURRENT, INVALID_SET_FILE_POINTER, ERROR_NEGATIVE_SEEK, '9'},
        {2, FILE_BEGIN, 2, 0, '2'},
        {0, 7, INVALID_SET_FILE_POINTER, ERROR_INVALID_PARAMETER, '3'},
    };
    for (const auto& [distance, method, position, error, next] : rows) {
        SCOPED_TRACE(std::to_string(distance) + " from " + std::to_string(method));
        EXPECT_EQ(rapi->CeSetFilePointer(h, distance, nullptr, method), position);
        EXPECT_EQ(error ? rapi->CeGetLastError() : 0u, error);
        uint8_t byte = 0;
        DWORD got = 0;
        ASSERT_TRUE(rapi->CeReadFile(h, &byte, 1, got));
        EXPECT_EQ(got, 1u);
        EXPECT_EQ(static_cast<char>(byte), next);
    }
    EXPECT_TRUE(rapi->CeCloseHandle(h));
}

TEST(EmulatedHandles, AHeldFileIsNeitherOpenedNorTruncated)
{
    DeviceDir dir;
    dir.put("held.txt", "kept");
    auto rapi = dir.session();
    {
        auto held = HoldFile(dir.fs("held.txt"));
        for (DWORD disposition : {OPEN_EXISTING, OPEN_ALWAYS, CREATE_ALWAYS, TRUNCATE_EXISTING}) {
            SCOPED_TRACE(disposition);
            EXPECT_FALSE(Opens(*rapi, "\\held.txt", GENERIC_WRITE, 0, disposition));
            EXPECT_EQ(rapi->CeGetLastError(), ERROR_SHARING_VIOLATION);
            EXPECT_EQ(ReadFile(dir.fs("held.txt")), "kept");
        }
    }
    // Let go, the same open truncates.
    EXPECT_TRUE(Opens(*rapi, "\\HELD.TXT", GENERIC_WRITE, 0, TRUNCATE_EXISTING));
    EXPECT_EQ(ReadFile(dir.fs("held.txt")), "");
    {
        // A program that only reads it, under a shared lock, does not hold it.
        auto reader = HoldFile(dir.fs("held.txt"), true);
        EXPECT_TRUE(Opens(*rapi, "\\held.txt", GENERIC_WRITE, 0, OPEN_EXISTING));
    }
    // While the device has it open, no other program takes it for itself.
    HANDLE open = rapi->CeCreateFile("\\held.txt", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, 0);
    ASSERT_NE(open, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(CanLockExclusively(dir.fs("held.txt")));
    EXPECT_TRUE(rapi->CeCloseHandle(open));
    EXPECT_TRUE(CanLockExclusively(dir.fs("held.txt")));
}

// The whole-file read and the 64-bit seeks, on an emulated device.
// Sizes and positions past 4 GiB keep their high half: a file of 4 GiB + 100 is
// not taken for one of 100 bytes, and a seek lands past the 4 GiB boundary.
TEST(ReadAll, SizesAndSeeksPastFourGiB)
{
    DeviceDir d;
    Rapi rapi{EmulatedDevice::open(d.path())};
    auto openRead = [&](const std::string& name) {
        return rapi.CeCreateFile(name, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
    };
    const uint64_t size = (uint64_t(4) << 30) + 100;
    SparseFile(d.fs("big.bin"), size, "HIGH");
    d.put("small.txt", "hello");

    HANDLE big = openRead("\\big.bin");
    ASSERT_NE(big, INVALID_HANDLE_VALUE);
    EXPECT_EQ(SeekToEnd(rapi, big), size);
    EXPECT_EQ(readAll(rapi, big), nullptr) << "one read cannot hold it: no contents rather than 100 bytes";
    ASSERT_TRUE(SeekToOffset(rapi, big, size - 4));
    uint8_t tail[8] = {};
    DWORD got = 0;
    ASSERT_TRUE(rapi.CeReadFile(big, tail, sizeof tail, got));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(tail), got), "HIGH");
    rapi.CeCloseHandle(big);

    HANDLE small = openRead("\\small.txt");
    auto contents = readAll(rapi, small);
    ASSERT_NE(contents, nullptr);
    EXPECT_EQ(std::string(contents->begin(), contents->end()), "hello");
    EXPECT_FALSE(SeekToOffset(rapi, 0x12345, 0)) << "a handle that is not open";
    rapi.CeCloseHandle(small);
}

// The emulated link's speed for file contents ("BytesPerSecond" in device.plist).

// Every byte read or written takes its share of a second. Only the lower bound is
// asserted: a sleep never ends early.
TEST(LinkPace, ReadsAndWritesTakeTheirShareOfTheLink)
{
    DeviceDir dir;
    auto settings = platform::PlistObject::dictionary();
    settings.set("BytesPerSecond", platform::PlistObject::integer(1000000));
    settings.writeAtomically(dir / "device.plist");
    auto rapi = dir.session();
    const std::vector<uint8_t> data(200000, 'p');

    auto timed = [](auto&& step) {
        auto start = std::chrono::steady_clock::now();
        step();
        return std::chrono::steady_clock::now() - start;
    };
    HANDLE out = rapi->CeCreateFile("\\paced.bin", GENERIC_WRITE, 0, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL);
    ASSERT_NE(out, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    EXPECT_GE(timed([&] { rapi->CeWriteFile(out, data.data(), static_cast<DWORD>(data.size()), written); }),
              std::chrono::milliseconds(200));
    EXPECT_EQ(written, data.size());
    rapi->CeCloseHandle(out);

    HANDLE in = rapi->CeCreateFile("\\paced.bin", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
    std::vector<uint8_t> back(data.size());
    DWORD got = 0;
    EXPECT_GE(timed([&] { rapi->CeReadFile(in, back.data(), 100000, got); }), std::chrono::milliseconds(100));
    EXPECT_EQ(got, 100000u);
    rapi->CeCloseHandle(in);
    EXPECT_EQ(ReadFile(dir.fs("paced.bin")), std::string(data.begin(), data.end()));
}

// The settings file changed while a session is open, each way a tool may change it,
// one step after another: every step is seen by the very next call, and still by
// the call after it. The first rewrite keeps the file's size and time, so only being
// told of it shows it.
TEST(DeviceSettingsFile, EveryChangeIsSeenByTheNextCall)
{
    DeviceDir dir;
    const std::string plist = dir / "device.plist", fresh = dir / "fresh.plist", alias = dir / "keep/alias.plist",
                      later = dir / "keep/later.plist";
    auto text = [](int64_t free) {
        return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict><key>StoreFree</key>"
               "<integer>" + std::to_string(free) + "</integer><key>StoreSize</key><integer>999999</integer>"
               "</dict></plist>\n";
    };
    WriteFile(plist, text(111111));
    auto rapi = dir.session();
    const std::tuple<const char*, std::function<void()>, int64_t> steps[] = {
        {"rewritten in place, its time kept",
         [&] {
             auto time = std::filesystem::last_write_time(plist);
             WriteFile(plist, text(222222));
             std::filesystem::last_write_time(plist, time);
         },
         222222},
        {"replaced", [&] { WriteFile(fresh, text(333333)); std::filesystem::rename(fresh, plist); }, 333333},
        {"the replacement rewritten", [&] { WriteFile(plist, text(444444)); }, 444444},
        {"written through a link in another folder",
         [&] {
             std::filesystem::create_directories(dir / "keep");
             std::filesystem::create_hard_link(plist, alias);
             WriteFile(alias, text(555555));
         },
         555555},
        {"removed", [&] { std::filesystem::remove(plist); }, -1},
        {"made again", [&] { WriteFile(plist, text(666666)); }, 666666},
        {"rewritten once more", [&] { WriteFile(plist, text(777777)); }, 777777},
        {"a link to a file not made yet",
         [&] {
             std::filesystem::remove(plist);
             std::filesystem::create_symlink(later, plist);
         },
         -1},
        {"the link's file made in its own folder", [&] { WriteFile(later, text(888888)); }, 888888},
    };
    STORE_INFORMATION store;
    ASSERT_TRUE(rapi->CeGetStoreInformation(store));
    EXPECT_EQ(store.dwFreeSize, 111111u);
    uint32_t last = 111111;
    for (const auto& [what, change, free] : steps) {
        SCOPED_TRACE(what);
        change();
        for (int call = 0; call < 2; ++call) {
            ASSERT_TRUE(rapi->CeGetStoreInformation(store));
            if (free < 0)
                EXPECT_NE(store.dwFreeSize, last) << "the host's figure, not the file's that is gone";
            else
                EXPECT_EQ(store.dwFreeSize, static_cast<uint32_t>(free)) << "call " << call;
        }
        last = free < 0 ? last : static_cast<uint32_t>(free);
    }
}

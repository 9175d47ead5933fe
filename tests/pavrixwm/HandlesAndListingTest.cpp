// A listing's order for every kind of name the host may hold, and what an open
// handle does at its edges: seeks before the start, and opens that would truncate
// a file another program holds.

#include "DeviceFixture.h"

#include "pavrixwm/DeviceNames.h"

#include <algorithm>
#include <filesystem>
#include <functional>

using namespace devicetest;

namespace {

TEST(EmulatedListing, NamesComeInDeviceOrderWhateverTheirCharacters)
{
    DeviceDir dir;
    // ASCII in both cases, characters of two, three and four bytes, upper and
    // lower case beyond ASCII, and bytes that are no character at all.
    const std::vector<std::string> names = {
        "b.txt", "B2", "a", "A_", "_a", "Zeta", "e.txt", "\xC3\x89t\xC3\xA9.txt" /* Été */,
        "\xC3\xA9t\xC3\xA9" /* été */, "\xCE\xA9mega" /* Ωmega */, "\xE2\x82\xAC" /* € */,
        "\xF0\x9F\x98\x80" /* U+1F600 */, "\xFF" "bad", "\xFE" "bad", "~", "0"};
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
    for (const auto& [path, found] : rows) {
        SCOPED_TRACE(path);
        std::vector<RapiFindData> entries;
        rapi->CeFindAllFiles(path, FAF_NAME, entries);
        EXPECT_EQ(Names(entries), found ? std::vector<std::string>{found} : std::vector<std::string>{});
    }
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
    const struct {
        std::function<void()> change;
        const char* path;
        const char* found; // none: missing
    } rows[] = {
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
    for (const auto& row : rows) {
        SCOPED_TRACE(row.path);
        row.change();
        std::vector<RapiFindData> entries;
        rapi->CeFindAllFiles(row.path, FAF_NAME, entries);
        EXPECT_EQ(Names(entries), row.found ? std::vector<std::string>{row.found} : std::vector<std::string>{});
    }
}

TEST(EmulatedHandles, SeeksFromEachOriginAndBeforeTheStart)
{
    DeviceDir dir;
    dir.put("ten.bin", "0123456789");
    auto rapi = dir.session();
    HANDLE h = rapi->CeCreateFile("\\ten.bin", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    struct Row {
        LONG distance;
        DWORD method;
        DWORD position; // INVALID_SET_FILE_POINTER: refused, the position stays
        DWORD error;
        char next; // the byte read next
    };
    const Row rows[] = {
        {-3, FILE_END, 7, 0, '7'},
        {1, FILE_CURRENT, 9, 0, '9'},
        {-4, FILE_CURRENT, 6, 0, '6'},
        {-1, FILE_BEGIN, INVALID_SET_FILE_POINTER, ERROR_NEGATIVE_SEEK, '7'},
        {-11, FILE_END, INVALID_SET_FILE_POINTER, ERROR_NEGATIVE_SEEK, '8'},
        {-10, FILE_CURRENT, INVALID_SET_FILE_POINTER, ERROR_NEGATIVE_SEEK, '9'},
        {2, FILE_BEGIN, 2, 0, '2'},
        {0, 7, INVALID_SET_FILE_POINTER, ERROR_INVALID_PARAMETER, '3'},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::to_string(row.distance) + " from " + std::to_string(row.method));
        EXPECT_EQ(rapi->CeSetFilePointer(h, row.distance, nullptr, row.method), row.position);
        if (row.error) {
            EXPECT_EQ(rapi->CeGetLastError(), row.error);
        }
        uint8_t byte = 0;
        DWORD got = 0;
        ASSERT_TRUE(rapi->CeReadFile(h, &byte, 1, got));
        EXPECT_EQ(got, 1u);
        EXPECT_EQ(static_cast<char>(byte), row.next);
    }
    EXPECT_TRUE(rapi->CeCloseHandle(h));
}

TEST(EmulatedHandles, AHeldFileIsNeitherOpenedNorTruncated)
{
    DeviceDir dir;
    dir.put("held.txt", "kept");
    auto rapi = dir.session();
    {
        auto held = testsupport::HoldFile(dir.fs("held.txt"));
        for (DWORD disposition : {OPEN_EXISTING, OPEN_ALWAYS, CREATE_ALWAYS, TRUNCATE_EXISTING}) {
            SCOPED_TRACE(disposition);
            EXPECT_FALSE(Opens(*rapi, "\\held.txt", GENERIC_WRITE, 0, disposition));
            EXPECT_EQ(rapi->CeGetLastError(), ERROR_SHARING_VIOLATION);
            EXPECT_EQ(testsupport::ReadFile(dir.fs("held.txt")), "kept");
        }
    }
    // Let go, the same open truncates.
    EXPECT_TRUE(Opens(*rapi, "\\HELD.TXT", GENERIC_WRITE, 0, TRUNCATE_EXISTING));
    EXPECT_EQ(testsupport::ReadFile(dir.fs("held.txt")), "");
}

} // namespace

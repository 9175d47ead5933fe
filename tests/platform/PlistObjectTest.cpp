// Property-list values and files: what the hand-off files, the emulated device's
// lists and the preference values rely on.

#include "platform/PlistObject.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <dirent.h>
#include <functional>
#include <thread>

using platform::PlistObject;
using namespace testsupport;

namespace {

std::vector<std::string> FolderEntries(const std::string& path)
{
    std::vector<std::string> out;
    if (DIR* d = ::opendir(path.c_str())) {
        while (dirent* e = ::readdir(d)) {
            std::string name = e->d_name;
            if (name != "." && name != "..")
                out.push_back(name);
        }
        ::closedir(d);
    }
    return out;
}

PlistObject SampleDictionary()
{
    PlistObject inner = PlistObject::dictionary();
    inner.set("IpAddr", PlistObject::string("192.168.55.101"));
    PlistObject d = PlistObject::dictionary();
    d.set("WebdavPort", PlistObject::integer(49152));
    d.set("WebdavPID", PlistObject::integer(4242));
    d.set("Zero", PlistObject::integer(0));
    d.set("Negative", PlistObject::integer(-1));
    d.set("Largest", PlistObject::integer(INT64_MAX));
    d.set("Smallest", PlistObject::integer(INT64_MIN));
    d.set("Password", PlistObject::string("p<a>&s\"s' w\xc3\xb6rd"));
    d.set("Empty", PlistObject::string(""));
    d.set("Bytes", PlistObject::data({0x00, 0x01, 0x7f, 0x80, 0xff}));
    d.set("NoBytes", PlistObject::data({}));
    d.set("Flag", PlistObject::boolean(true));
    d.set("Ratio", PlistObject::real(0.25));
    d.set("Inner", inner);
    return d;
}

TEST(PlistObject, AtomicWriteAndLoadRoundTripEveryValueType)
{
    TempDir dir;
    std::string path = dir / "Pavrix_webdavtmp.plist";
    PlistObject written = SampleDictionary();
    ASSERT_TRUE(written.writeAtomically(path));
    // The launcher reads the file as an XML property list.
    EXPECT_EQ(ReadFile(path).rfind("<?xml", 0), 0u);

    auto loaded = PlistObject::loadDictionary(path);
    ASSERT_TRUE(loaded);
    EXPECT_TRUE(*loaded == written);
    EXPECT_EQ(loaded->getInteger("WebdavPort"), 49152);
    EXPECT_EQ(loaded->getInteger("Negative"), -1);
    EXPECT_EQ(loaded->getInteger("Largest"), INT64_MAX);
    EXPECT_EQ(loaded->getInteger("Smallest"), INT64_MIN);
    EXPECT_EQ(loaded->getString("Password"), "p<a>&s\"s' w\xc3\xb6rd");
    EXPECT_EQ(loaded->getString("Empty"), "");
    EXPECT_EQ(loaded->getData("Bytes"), (std::vector<uint8_t>{0x00, 0x01, 0x7f, 0x80, 0xff}));
    EXPECT_EQ(loaded->getData("NoBytes"), std::vector<uint8_t>{});
    EXPECT_EQ(loaded->get("Flag")->asBoolean(), true);
    EXPECT_EQ(loaded->get("Inner")->getString("IpAddr"), "192.168.55.101");

    // The binary form reads back the same, and so does a binary file.
    auto fromBinary = PlistObject::fromBytes(written.toBinary());
    ASSERT_TRUE(fromBinary);
    EXPECT_TRUE(*fromBinary == written);
    std::vector<uint8_t> binary = written.toBinary();
    WriteFile(dir / "binary.plist", std::string(binary.begin(), binary.end()));
    auto loadedBinary = PlistObject::loadDictionary(dir / "binary.plist");
    ASSERT_TRUE(loadedBinary);
    EXPECT_TRUE(*loadedBinary == written);
}

TEST(PlistObject, AtomicWriteReplacesWholeFileAndLeavesNoTemporaryBehind)
{
    TempDir dir;
    std::string path = dir / "list.plist";
    WriteFile(path, std::string(100000, 'x')); // longer than what replaces it
    PlistObject d = PlistObject::dictionary();
    d.set("IpAddr", PlistObject::string("10.0.0.2"));
    ASSERT_TRUE(d.writeAtomically(path));
    auto loaded = PlistObject::loadDictionary(path);
    ASSERT_TRUE(loaded);
    EXPECT_EQ(loaded->getString("IpAddr"), "10.0.0.2");
    EXPECT_EQ(FolderEntries(dir.path()), std::vector<std::string>{"list.plist"});

    // Failures: a missing folder, a folder in the way, nothing to write.
    EXPECT_FALSE(d.writeAtomically(dir / "missing/list.plist"));
    EXPECT_FALSE(PathExists(dir / "missing"));
    MakeDirs(dir / "folder.plist");
    EXPECT_FALSE(d.writeAtomically(dir / "folder.plist"));
    EXPECT_TRUE(IsDirectory(dir / "folder.plist"));
    EXPECT_FALSE(PlistObject().writeAtomically(dir / "null.plist"));
    EXPECT_FALSE(PathExists(dir / "null.plist"));
    auto entries = FolderEntries(dir.path());
    std::sort(entries.begin(), entries.end());
    EXPECT_EQ(entries, (std::vector<std::string>{"folder.plist", "list.plist"}));
}

TEST(PlistObject, ConcurrentWritersAndReadersSeeOnlyWholeFiles)
{
    TempDir dir;
    std::string path = dir / "shared.plist";
    // Two values large enough that a write takes several system calls.
    PlistObject a = PlistObject::dictionary();
    PlistObject b = PlistObject::dictionary();
    for (int i = 0; i < 400; ++i) {
        a.set("key" + std::to_string(i), PlistObject::string(std::string(64, 'a')));
        b.set("key" + std::to_string(i), PlistObject::string(std::string(64, 'b')));
    }
    ASSERT_TRUE(a.writeAtomically(path));

    std::atomic<int> failedWrites{0};
    std::atomic<int> badReads{0};
    std::atomic<bool> writing{true};
    auto writer = [&](const PlistObject& value) {
        for (int i = 0; i < 100; ++i)
            if (!value.writeAtomically(path))
                ++failedWrites;
    };
    std::thread reader([&] {
        while (writing) {
            auto loaded = PlistObject::loadDictionary(path);
            if (!loaded || !(*loaded == a || *loaded == b))
                ++badReads;
        }
    });
    std::thread w1(writer, std::cref(a));
    std::thread w2(writer, std::cref(b));
    w1.join();
    w2.join();
    writing = false;
    reader.join();
    EXPECT_EQ(failedWrites, 0);
    EXPECT_EQ(badReads, 0);
    EXPECT_EQ(FolderEntries(dir.path()), std::vector<std::string>{"shared.plist"});
}

TEST(PlistObject, FilesThatAreNotDictionariesGiveNothing)
{
    TempDir dir;
    PlistObject number = PlistObject::integer(5);
    std::vector<uint8_t> binaryNumber = number.toBinary();
    const std::string header = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n";
    struct Case {
        const char* name;
        std::string content;
    };
    const std::vector<Case> cases = {
        {"empty", ""},
        {"text", "WebdavPort=8080\n"},
        {"truncated xml", header + "<dict><key>WebdavPort</key><integer>80"},
        {"unclosed dict", header + "<dict><key>WebdavPort</key><integer>80</integer>"},
        {"binary header only", "bplist00"},
        {"binary garbage", std::string("bplist00\xff\xff\xff\xff\x01\x02", 14)},
        {"array", header + "<array><string>a</string></array></plist>\n"},
        {"string", header + "<string>a</string></plist>\n"},
        {"binary integer", std::string(binaryNumber.begin(), binaryNumber.end())},
    };
    for (const auto& c : cases) {
        std::string path = dir / "case.plist";
        WriteFile(path, c.content);
        EXPECT_FALSE(PlistObject::loadDictionary(path)) << c.name;
    }
    EXPECT_FALSE(PlistObject::loadDictionary(dir / "missing.plist"));
    EXPECT_FALSE(PlistObject::loadDictionary(dir.path()));
    EXPECT_FALSE(PlistObject::fromBytes({}));
}

TEST(PlistObject, GettersGiveNothingForMissingKeysAndOtherTypes)
{
    PlistObject d = PlistObject::dictionary();
    d.set("int", PlistObject::integer(7));
    d.set("string", PlistObject::string("7"));
    d.set("data", PlistObject::data({7}));
    d.set("bool", PlistObject::boolean(false));
    d.set("real", PlistObject::real(7.0));
    d.set("dict", PlistObject::dictionary());

    struct Case {
        const char* key;
        bool isInteger, isString, isData;
    };
    const std::vector<Case> cases = {
        {"int", true, false, false},   {"string", false, true, false}, {"data", false, false, true},
        {"bool", false, false, false}, {"real", false, false, false},  {"dict", false, false, false},
        {"missing", false, false, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(d.getInteger(c.key).has_value(), c.isInteger) << c.key;
        EXPECT_EQ(d.getString(c.key).has_value(), c.isString) << c.key;
        EXPECT_EQ(d.getData(c.key).has_value(), c.isData) << c.key;
    }
    EXPECT_EQ(d.get("bool")->asBoolean(), false);
    EXPECT_FALSE(d.get("int")->asBoolean());

    // A value that is not a dictionary has no keys and takes none.
    PlistObject s = PlistObject::string("plain");
    EXPECT_FALSE(s.get("int"));
    EXPECT_FALSE(s.getInteger("int"));
    s.set("int", PlistObject::integer(1));
    EXPECT_TRUE(s.keys().empty());
    EXPECT_EQ(s.asString(), "plain");
    EXPECT_FALSE(PlistObject().getString("x"));
}

TEST(PlistObject, SetReplacesRemoveDeletesAndCopiesAreIndependent)
{
    PlistObject d = PlistObject::dictionary();
    d.set("a", PlistObject::integer(1));
    d.set("b", PlistObject::integer(2));
    d.set("a", PlistObject::string("one"));
    EXPECT_EQ(d.getString("a"), "one");
    EXPECT_EQ(d.keys(), (std::vector<std::string>{"a", "b"}));
    d.remove("a");
    d.remove("never there");
    EXPECT_EQ(d.keys(), std::vector<std::string>{"b"});

    PlistObject copy = d;
    copy.set("b", PlistObject::integer(3));
    PlistObject value = PlistObject::integer(9);
    d.set("c", value);
    value = PlistObject::integer(10); // the dictionary kept its own copy
    EXPECT_EQ(d.getInteger("b"), 2);
    EXPECT_EQ(d.getInteger("c"), 9);
    EXPECT_EQ(copy.getInteger("b"), 3);
}

TEST(PlistObject, EqualityIsByContentNotByKeyOrder)
{
    PlistObject ab = PlistObject::dictionary();
    ab.set("a", PlistObject::integer(1));
    ab.set("b", PlistObject::data({1, 2}));
    PlistObject ba = PlistObject::dictionary();
    ba.set("b", PlistObject::data({1, 2}));
    ba.set("a", PlistObject::integer(1));
    EXPECT_TRUE(ab == ba);

    PlistObject other = ba;
    other.set("b", PlistObject::data({1, 3}));
    EXPECT_FALSE(ab == other);
    other = ba;
    other.set("c", PlistObject::integer(0));
    EXPECT_FALSE(ab == other);
    EXPECT_FALSE(other == ab);
    EXPECT_FALSE(PlistObject::integer(1) == PlistObject::boolean(true));
    EXPECT_FALSE(PlistObject::integer(5) == PlistObject::string("5"));
    EXPECT_TRUE(PlistObject() == PlistObject());
    EXPECT_FALSE(PlistObject() == PlistObject::dictionary());
}

} // namespace

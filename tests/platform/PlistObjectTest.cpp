// Property-list values and files: what the hand-off files, the emulated device's
// lists and the preference values rely on.

#include "platform/PlistObject.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <filesystem>
#include <thread>

using platform::PlistObject;
using namespace testsupport;

TEST(PlistObject, AtomicWriteReplacesTheFileAndLoadGivesBackEveryValueType)
{
    TempDir dir;
    PlistObject d = PlistObject::dictionary();
    d.set("Smallest", PlistObject::integer(INT64_MIN));
    d.set("Password", PlistObject::string("p<a>&s\"s' w\xc3\xb6rd"));
    d.set("Bytes", PlistObject::data({0x00, 0x7f, 0x80, 0xff}));
    d.set("Inner", PlistObject::dictionary());
    WriteFile(dir / "list.plist", std::string(100000, 'x')); // longer than what replaces it
    ASSERT_TRUE(d.writeAtomically(dir / "list.plist"));
    EXPECT_EQ(ReadFile(dir / "list.plist").rfind("<?xml", 0), 0u); // the launcher reads XML
    auto loaded = PlistObject::loadDictionary(dir / "list.plist");
    ASSERT_TRUE(loaded);
    EXPECT_TRUE(*loaded == d);
    EXPECT_EQ(loaded->getString("Password"), "p<a>&s\"s' w\xc3\xb6rd");
    // A getter of another type, or of a missing key, gives nothing.
    EXPECT_FALSE(loaded->getInteger("Password") || loaded->getString("Bytes") || loaded->getData("Smallest") ||
                 loaded->getString("missing") || loaded->getString("Inner"));
    EXPECT_FALSE(d.writeAtomically(dir / "missing/list.plist"));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1) << "no temporary file left";
}

TEST(PlistObject, ReadersDuringWritesSeeOnlyWholeFiles)
{
    TempDir dir;
    PlistObject a = PlistObject::dictionary(), b = PlistObject::dictionary();
    for (int i = 0; i < 400; ++i) { // large enough that a write takes several system calls
        a.set("key" + std::to_string(i), PlistObject::string(std::string(64, 'a')));
        b.set("key" + std::to_string(i), PlistObject::string(std::string(64, 'b')));
    }
    ASSERT_TRUE(a.writeAtomically(dir / "shared.plist"));
    std::atomic<bool> writing{true};
    std::thread writer([&] {
        for (int i = 0; i < 200; ++i)
            EXPECT_TRUE((i % 2 ? a : b).writeAtomically(dir / "shared.plist"));
        writing = false;
    });
    int badReads = 0;
    while (writing) {
        auto loaded = PlistObject::loadDictionary(dir / "shared.plist");
        badReads += !loaded || !(*loaded == a || *loaded == b);
    }
    writer.join();
    EXPECT_EQ(badReads, 0);
}

TEST(PlistObject, CorruptFilesAndValuesOtherThanDictionariesGiveNothing)
{
    TempDir dir;
    const std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n";
    for (const std::string& content : {std::string(), std::string("bplist00\xff\xff\xff\xff\x01\x02", 14),
                                       xml + "<dict><key>WebdavPort</key><integer>80", xml + "<array/></plist>\n"}) {
        WriteFile(dir / "case.plist", content);
        EXPECT_FALSE(PlistObject::loadDictionary(dir / "case.plist")) << content;
    }
    EXPECT_FALSE(PlistObject::loadDictionary(dir / "missing.plist"));
}

// A hand-off file is written by another program: a text holding a zero byte is no
// text (not one cut short), and not the end of the process either.
TEST(PlistObject, TextWithAZeroByteIsNoText)
{
    TempDir dir;
    const std::string text("169.254\0.2.1", 12);
    WriteFile(dir / "address.plist", "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                                     "<key>IpAddr</key><string>" + text + "</string></dict></plist>\n");
    auto loaded = PlistObject::loadDictionary(dir / "address.plist");
    ASSERT_TRUE(loaded);
    EXPECT_EQ(loaded->getString("IpAddr"), std::nullopt);
    EXPECT_TRUE(loaded->get("IpAddr"));
}

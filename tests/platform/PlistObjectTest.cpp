// Property-list values and files: what the hand-off files, the emulated device's
// lists and the preference values rely on.

#include "platform/PlistObject.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <climits>
#include <filesystem>
#include <fstream>

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
    // The file is replaced whole, never written in place: a reader that opened it
    // before reads the old file to its end, one that opens it after, the new one.
    std::ifstream reader(dir / "list.plist", std::ios::binary);
    ASSERT_TRUE(d.writeAtomically(dir / "list.plist"));
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(reader), {}), std::string(100000, 'x'));
    EXPECT_EQ(ReadFile(dir / "list.plist").rfind("<?xml", 0), 0u); // the launcher reads XML
    auto loaded = PlistObject::loadDictionary(dir / "list.plist");
    ASSERT_TRUE(loaded);
    EXPECT_TRUE(*loaded == d);
    // A getter of another type, or of a missing key, gives nothing.
    EXPECT_FALSE(loaded->getInteger("Password") || loaded->getString("Bytes") || loaded->getData("Smallest") ||
                 loaded->getString("missing") || loaded->getString("Inner"));
    EXPECT_FALSE(d.writeAtomically(dir / "missing/list.plist"));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1) << "no temporary file left";
}

// A hand-off file is written by another program: a corrupt file, or a value other
// than a dictionary, is nothing; a text holding a zero byte is no text (not one
// cut short), and not the end of the process either.
TEST(PlistObject, CorruptFilesOtherValuesAndTextsWithAZeroByteGiveNothing)
{
    TempDir dir;
    const std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n";
    for (const std::string& content : {std::string(), std::string("bplist00\xff\xff\xff\xff\x01\x02", 14),
                                       xml + "<dict><key>WebdavPort</key><integer>80", xml + "<array/></plist>\n"}) {
        WriteFile(dir / "case.plist", content);
        EXPECT_FALSE(PlistObject::loadDictionary(dir / "case.plist")) << content;
    }

    WriteFile(dir / "address.plist", xml + "<dict><key>IpAddr</key><string>" + std::string("169.254\0.2.1", 12) +
                                         "</string></dict></plist>\n");
    auto loaded = PlistObject::loadDictionary(dir / "address.plist");
    ASSERT_TRUE(loaded);
    EXPECT_EQ(loaded->getString("IpAddr"), std::nullopt);
    EXPECT_TRUE(loaded->get("IpAddr"));
}

// The device store over an emulated device: listings, the find cache, properties
// and space, reads with the read cache, uploads, changes, metafile routing, and
// device faults injected under the session.

#include "WinceTestSupport.h"

#include "extras/ReadAll.h"
#include "log/LogClient.h"
#include "platform/CalendarDate.h"
#include "platform/SocketStream.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>

using namespace wincetest;
using Call = FaultInjectingDevice::Call;
using testsupport::IsDirectory;
using testsupport::PathExists;
using testsupport::ReadFile;

namespace {

void SetTimes(const std::string& path, time_t accessed, time_t modified)
{
    timespec times[2] = {{accessed, 0}, {modified, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

std::vector<std::string> Names(const DataSource::ChildList& list)
{
    std::vector<std::string> names;
    for (const auto& record : list)
        names.push_back(record.at("name"));
    return names;
}

// A client stream whose body the test writes (from a thread of its own, so that
// a body larger than the socket buffer never blocks the test) and then ends.
class BodyStream {
public:
    explicit BodyStream(std::string body)
    {
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
            throw std::runtime_error("socketpair");
        stream_ = platform::SocketStream::open(fds[0]);
        writer_ = std::thread([fd = fds[1], body = std::move(body)] {
            testsupport::SendAll(fd, body);
            ::close(fd);
        });
    }
    ~BodyStream()
    {
        writer_.join();
        stream_.reset();
    }
    platform::SocketStream& stream() { return *stream_; }

private:
    std::unique_ptr<platform::SocketStream> stream_;
    std::thread writer_;
};

std::string Pattern(size_t size)
{
    std::string text(size, '\0');
    for (size_t i = 0; i < size; ++i)
        text[i] = static_cast<char>('a' + (i * 7 + i / 65536) % 26);
    return text;
}

} // namespace

TEST(WinceListing, DeviceEntriesThenTheMirrorsFiles)
{
    DeviceStore d;
    d.put("Docs/b.txt", "abc");
    d.mkdir("Docs/A sub");
    d.put("Docs/C#.txt", "");
    SetTimes(d.fs("Docs/b.txt"), 1400000000, 1417392000); // modified Mon, 01 Dec 2014 00:00:00 GMT
    d.putMirror("Docs/._b.txt", "resource fork");
    testsupport::MakeDirs(d.mirror("Docs/._folder"));

    auto children = d.store->getChildren("/vol/Docs/");
    EXPECT_EQ(Names(children), (std::vector<std::string>{"/vol/Docs/A%20sub", "/vol/Docs/b.txt",
                                                         "/vol/Docs/C%23.txt", "/vol/Docs/._b.txt"}));
    auto finds = d.device->takeFinds();
    ASSERT_EQ(finds.size(), 1u) << "one find per listing";
    EXPECT_EQ(finds[0], (std::pair<std::string, DWORD>{"\\Docs\\*", 0xBF}));

    ASSERT_EQ(children.size(), 4u);
    const auto& folder = children[0];
    EXPECT_EQ(folder.at("resourcetype"), "<D:collection/>");
    EXPECT_TRUE(std::stoul(folder.at("attributes")) & FILE_ATTRIBUTE_DIRECTORY);
    const auto& file = children[1];
    EXPECT_EQ(file.size(), 7u) << "every key of a device record is present";
    EXPECT_EQ(file.at("getlastmodified"), "Mon, 01 Dec 2014 00:00:00 GMT");
    EXPECT_EQ(file.at("accesstime"), platform::FormatHTTPDate(std::chrono::system_clock::from_time_t(1400000000)));
    EXPECT_FALSE(file.at("creationdate").empty());
    EXPECT_EQ(file.at("getcontentlength"), "3");
    EXPECT_EQ(file.at("resourcetype"), "");
    EXPECT_FALSE(std::stoul(file.at("attributes")) & FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(children[2].at("getcontentlength"), "0");
    EXPECT_EQ(children[3].at("resourcetype"), "");
    EXPECT_EQ(children[3].count("accesstime"), 0u) << "mirror records are the mirror's own";

    // The listing neither reads nor fills the find cache.
    d.store->getProperty("getcontentlength", "/vol/Docs/b.txt");
    EXPECT_EQ(d.device->takeFinds().size(), 1u);
}

TEST(WinceListing, RootMissingFoldersAndUnmappableUris)
{
    DeviceStore d;
    d.put("top.txt", "x");
    d.putMirror(".DS_Store", "view");
    EXPECT_EQ(Names(d.store->getChildren("/vol/")), (std::vector<std::string>{"/vol/top.txt", "/vol/.DS_Store"}));
    EXPECT_EQ(d.device->takeFinds()[0].first, "\\*");

    // Children keep the first volume segment, whatever later URIs say.
    EXPECT_EQ(Names(d.store->getChildren("/other/")), (std::vector<std::string>{"/vol/top.txt", "/vol/.DS_Store"}));

    EXPECT_TRUE(d.store->getChildren("/vol/missing/").empty()) << "a missing folder lists as empty";
    EXPECT_EQ(RaisedName([&] { d.store->getChildren("/vol"); }), "DAVNotFoundException");
}

TEST(WinceFindCache, OneFindServesEveryPropertyOfOneResource)
{
    DeviceStore d;
    d.put("a.txt", "12345678");
    d.put("b.txt", "1");

    EXPECT_EQ(d.store->getProperty("getcontentlength", "/vol/a.txt"), "8");
    EXPECT_EQ(d.store->getProperty("resourcetype", "/vol/a.txt"), "");
    EXPECT_TRUE(d.store->getProperty("getlastmodified", "/vol/a.txt"));
    EXPECT_TRUE(d.store->isFile("/vol/a.txt"));
    EXPECT_FALSE(d.store->isDirectory("/vol/a.txt"));
    auto finds = d.device->takeFinds();
    ASSERT_EQ(finds.size(), 1u);
    EXPECT_EQ(finds[0], (std::pair<std::string, DWORD>{"\\a.txt", 0x3B}));

    // Another URI replaces the entry; coming back asks the device again.
    EXPECT_EQ(d.store->getProperty("getcontentlength", "/vol/b.txt"), "1");
    EXPECT_EQ(d.store->getProperty("getcontentlength", "/vol/a.txt"), "8");
    EXPECT_EQ(d.device->takeFinds().size(), 2u);

    // The cache has no age: a change made behind the store's back is not seen...
    d.put("a.txt", "1234");
    EXPECT_EQ(d.store->getProperty("getcontentlength", "/vol/a.txt"), "8");
    // ...but every change through the store empties it, even one that fails.
    const std::vector<std::pair<const char*, std::function<void()>>> changes = {
        {"put", [&] { d.store->putData(Bytes("1234"), "/vol/a.txt"); }},
        {"delete", [&] { d.store->delete_("/vol/missing"); }},
        {"move", [&] { d.store->move("/vol/missing", "/vol/elsewhere"); }},
        {"mkcol", [&] { d.store->mkCollection("/vol/a.txt"); }},
    };
    for (const auto& [what, change] : changes) {
        d.store->getProperty("getcontentlength", "/vol/a.txt");
        d.device->takeFinds();
        change();
        EXPECT_EQ(d.store->getProperty("getcontentlength", "/vol/a.txt"), "4") << what;
        EXPECT_EQ(d.device->takeFinds().size(), 1u) << what;
    }
}

TEST(WinceFindCache, AMissingResourceIsNotRemembered)
{
    DeviceStore d;
    EXPECT_EQ(RaisedName([&] { d.store->getProperty("getcontentlength", "/vol/nope"); }), "DAVNotFoundException");
    EXPECT_EQ(RaisedName([&] { d.store->getProperty("resourcetype", "/vol/nope"); }), "DAVNotFoundException");
    EXPECT_EQ(RaisedName([&] { d.store->getLastModified("/vol/nope"); }), "DAVNotFoundException");
    EXPECT_EQ(d.device->takeFinds().size(), 3u);
    d.put("nope", "now");
    EXPECT_EQ(d.store->getProperty("getcontentlength", "/vol/nope"), "3");

    // A name no device file can have is not looked up as a pattern.
    d.device->takeFinds();
    EXPECT_EQ(RaisedName([&] { d.store->getProperty("resourcetype", "/vol/%2A"); }), "DAVNotFoundException");
    EXPECT_EQ(RaisedName([&] { d.store->getProperty("resourcetype", "/vol/n%3Fpe"); }), "DAVNotFoundException");
    EXPECT_TRUE(d.device->takeFinds().empty());
    EXPECT_EQ(RaisedName([&] { d.store->getProperty("resourcetype", "/vol"); }), "DAVNotFoundException");
}

TEST(WinceProperties, TheRootAnswersWithoutTheDevice)
{
    DeviceStore d;
    auto before = std::chrono::system_clock::now() - std::chrono::seconds(1);
    EXPECT_TRUE(d.store->isDirectory("/vol/"));
    EXPECT_FALSE(d.store->isFile("/vol/"));
    EXPECT_EQ(d.store->getProperty("resourcetype", "/vol/"), "<D:collection/>");
    EXPECT_EQ(d.store->getProperty("getcontentlength", "/vol/"), "5");
    EXPECT_EQ(d.store->getProperty("getcontenttype", "/vol/"), "text/html");
    auto modified = d.store->getLastModified("/vol/");
    ASSERT_TRUE(modified);
    EXPECT_GE(*modified, before);
    EXPECT_EQ(d.allCalls(), 0);
    // A second volume segment names the same root.
    EXPECT_TRUE(d.store->isDirectory("/x/"));
}

TEST(WinceProperties, FoldersFilesAndSizesPastFourGiB)
{
    DeviceStore d;
    d.mkdir("Dir");
    testsupport::WriteFile(d.fs("big.bin"), "");
    ASSERT_EQ(::truncate(d.fs("big.bin").c_str(), (off_t(1) << 32) + 7), 0); // sparse
    EXPECT_EQ(d.store->getProperty("resourcetype", "/vol/Dir/"), "<D:collection/>");
    EXPECT_TRUE(d.store->isDirectory("/vol/Dir"));
    EXPECT_EQ(d.store->getProperty("getcontentlength", "/vol/big.bin"), "4294967303");
    auto children = d.store->getChildren("/vol/");
    ASSERT_EQ(children.size(), 2u);
    EXPECT_EQ(children[0].at("getcontentlength"), "7") << "records carry the low 32 bits";
    EXPECT_EQ(d.store->getProperty("getcontenttype", "/vol/nothing-here"), "text/html");
    for (const char* name : {"creationdate", "displayname", "getetag", "lockdiscovery", "supportedlock"})
        EXPECT_EQ(d.store->getProperty(name, "/vol/Dir"), std::nullopt) << name;
}

TEST(WinceProperties, MetafilesAreAnsweredByTheMirrorOrFixedValues)
{
    DeviceStore d;
    d.putMirror("a/._b", "12");
    d.put("a/._b", "on the device, never seen");
    EXPECT_EQ(d.store->getProperty("getcontentlength", "/vol/a/._b"), "2");
    EXPECT_EQ(d.store->getProperty("resourcetype", "/vol/a/._b"), "");
    EXPECT_EQ(d.store->getProperty("getcontenttype", "/vol/a/._b"), "text/html");
    EXPECT_EQ(d.store->getProperty("quota", "/vol/a/._b"), "0");
    EXPECT_EQ(d.store->getProperty("quotaused", "/vol/a/.DS_Store"), "0");
    EXPECT_TRUE(d.store->getProperty("getlastmodified", "/vol/a/._b"));
    EXPECT_TRUE(d.store->isFile("/vol/a/._nothing"));
    EXPECT_FALSE(d.store->isDirectory("/vol/a/._nothing"));
    EXPECT_EQ(d.store->getFileAttributes("/vol/._x"), 0u);
    EXPECT_EQ(Text(d.store->getData("/vol/a/._b")), "12");
    EXPECT_EQ(d.allCalls(), 0) << "a metafile never reaches the device";

    EXPECT_EQ(RaisedName([&] { d.store->getProperty("resourcetype", "/vol/._missing"); }), "DAVNotFoundException");
    EXPECT_EQ(RaisedName([&] { d.store->getData("/vol/._missing"); }), "DAVNotFoundException");
}

TEST(WinceProperties, SpaceCountsBlocksOfTheStoreAndTheCards)
{
    auto settings = platform::PlistObject::dictionary();
    settings.set("StoreSize", platform::PlistObject::integer(3000000));
    settings.set("StoreFree", platform::PlistObject::integer(1000000));
    settings.set("CardsTotal", platform::PlistObject::integer((int64_t(5) << 30) + 1000));
    settings.set("CardsFree", platform::PlistObject::integer(int64_t(2) << 30));
    DeviceStore d(settings);

    uint64_t total = (uint64_t(5) << 30) + 1000 + 3000000;
    uint64_t free = (uint64_t(2) << 30) + 1000000;
    EXPECT_EQ(d.store->getProperty("quota", "/vol/"), std::to_string(total / 512));
    EXPECT_EQ(d.store->getProperty("quotaused", "/vol/any/thing"), std::to_string((total - free) / 512));
    EXPECT_EQ(d.calls(Call::GetSpaceOnCards), 2) << "nothing is cached";
    EXPECT_EQ(d.calls(Call::GetStoreInformation), 2);
    EXPECT_EQ(d.calls(Call::FindAllFiles), 0);
}

TEST(WinceRead, FilesFoldersMissingAndHeldFiles)
{
    DeviceStore d;
    d.put("Docs/a.txt", "contents");
    d.mkdir("Docs/Sub");
    d.put("held.txt", "busy");

    EXPECT_EQ(Text(d.store->getData("/vol/Docs/a.txt")), "contents");
    EXPECT_EQ(Text(d.store->getData("/vol/docs/A.TXT")), "contents") << "the device ignores letter case";
    auto folder = d.store->getData("/vol/Docs/Sub/");
    ASSERT_TRUE(folder);
    EXPECT_TRUE(folder->empty());
    EXPECT_EQ(Text(d.store->getData("/vol/")), "") << "the root reads as an empty folder";
    EXPECT_EQ(RaisedName([&] { d.store->getData("/vol/Docs/none.txt"); }), "DAVNotFoundException");
    EXPECT_EQ(RaisedName([&] { d.store->getData("/vol"); }), "DAVNotFoundException");

    HeldFile held(d.fs("held.txt"));
    ASSERT_TRUE(held.held());
    EXPECT_EQ(RaisedName([&] { d.store->getData("/vol/held.txt"); }), "DAVBusyException");
    EXPECT_EQ(ReadFile(d.fs("held.txt")), "busy");
}

TEST(WinceRead, InjectedOpenAndReadFailures)
{
    DeviceStore d;
    d.put("a.txt", "contents");
    d.put("b.txt", "other");

    d.device->failCall(Call::CreateFile, ERROR_SHARING_VIOLATION, 1);
    EXPECT_EQ(RaisedName([&] { d.store->getData("/vol/a.txt"); }), "DAVBusyException");
    d.device->failCall(Call::CreateFile, ERROR_ACCESS_DENIED, 1);
    EXPECT_EQ(RaisedName([&] { d.store->getData("/vol/a.txt"); }), "DAVNotFoundException");

    // A file that opened but could not be read is an error, never an empty file,
    // and it is not cached.
    d.device->failCall(Call::ReadFile, ERROR_GEN_FAILURE, 1);
    EXPECT_EQ(RaisedName([&] { d.store->getData("/vol/b.txt"); }), "DAVNotFoundException");
    EXPECT_EQ(gCachedFileName, std::nullopt);
    d.device->failCall(Call::SetFilePointer, ERROR_INVALID_HANDLE, 1);
    EXPECT_EQ(RaisedName([&] { d.store->getData("/vol/b.txt"); }), "DAVNotFoundException");
    EXPECT_EQ(Text(d.store->getData("/vol/b.txt")), "other");
    EXPECT_EQ(d.calls(Call::CreateFile), d.calls(Call::CloseHandle) + 2) << "every opened handle is closed";
}

TEST(WinceReadCache, OneDeviceReadPerTenSeconds)
{
    DeviceStore d;
    d.put("a.txt", "first");
    d.put("b.txt", "bee");

    auto first = d.store->getData("/vol/a.txt");
    auto again = d.store->getData("/vol/a.txt");
    EXPECT_EQ(again, first) << "the cached contents themselves";
    EXPECT_EQ(d.calls(Call::ReadFile), 1);
    EXPECT_EQ(gCachedFileName, "/vol/a.txt");

    // Changes don't empty it: within its life the old contents are served.
    EXPECT_TRUE(d.store->putData(Bytes("second"), "/vol/a.txt"));
    EXPECT_EQ(Text(d.store->getData("/vol/a.txt")), "first");
    EXPECT_EQ(Text(d.store->getData("/vol/a.TXT")), "second") << "another URI text is another entry";
    EXPECT_EQ(d.calls(Call::ReadFile), 2);

    // Another file in between empties it.
    EXPECT_EQ(Text(d.store->getData("/vol/a.txt")), "second");
    EXPECT_EQ(Text(d.store->getData("/vol/b.txt")), "bee");
    EXPECT_EQ(Text(d.store->getData("/vol/a.txt")), "second");
    EXPECT_EQ(d.calls(Call::ReadFile), 5);

    // An entry of ten seconds or more is read again.
    ASSERT_TRUE(gCachedFileDate);
    *gCachedFileDate -= std::chrono::milliseconds(9900);
    d.store->getData("/vol/a.txt");
    EXPECT_EQ(d.calls(Call::ReadFile), 5);
    *gCachedFileDate -= std::chrono::milliseconds(100);
    d.store->getData("/vol/a.txt");
    EXPECT_EQ(d.calls(Call::ReadFile), 6);

    // Metafiles neither use nor empty it.
    d.putMirror("._a", "meta");
    EXPECT_EQ(Text(d.store->getData("/vol/._a")), "meta");
    EXPECT_EQ(gCachedFileName, "/vol/a.txt");
    // A folder read is not cached, and empties the entry.
    d.mkdir("Dir");
    d.store->getData("/vol/Dir");
    EXPECT_EQ(gCachedFileName, std::nullopt);
}

TEST(WinceReadCache, OnlyFilesUnderTenMiB)
{
    DeviceStore d;
    testsupport::WriteFile(d.fs("limit.bin"), std::string(10485759, 'x'));
    testsupport::WriteFile(d.fs("over.bin"), std::string(10485760, 'y'));

    EXPECT_EQ(d.store->getData("/vol/over.bin")->size(), 10485760u);
    EXPECT_EQ(d.store->getData("/vol/over.bin")->size(), 10485760u);
    EXPECT_EQ(d.calls(Call::ReadFile), 2);
    EXPECT_EQ(d.store->getData("/vol/limit.bin")->size(), 10485759u);
    EXPECT_EQ(d.store->getData("/vol/limit.bin")->size(), 10485759u);
    EXPECT_EQ(d.calls(Call::ReadFile), 3) << "one read of the whole file, then the cache";
}

TEST(WinceReadAll, SizeSeekAndOneRead)
{
    DeviceStore d;
    d.put("a.bin", Pattern(70000));
    d.put("empty", "");
    Rapi& rapi = *d.rapi;

    HANDLE handle = rapi.CeCreateFile("\\a.bin", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    uint8_t skip[10];
    DWORD got = 0;
    ASSERT_TRUE(rapi.CeReadFile(handle, skip, sizeof skip, got)); // readAll starts over from the beginning
    auto all = readAll(rapi, handle);
    ASSERT_TRUE(all);
    EXPECT_EQ(std::string(all->begin(), all->end()), Pattern(70000));
    EXPECT_EQ(d.calls(Call::ReadFile), 2);

    d.device->failCall(Call::SetFilePointer, ERROR_INVALID_HANDLE, 1);
    EXPECT_EQ(readAll(rapi, handle), nullptr) << "size unknown";
    d.device->failCall(Call::SetFilePointer, ERROR_NEGATIVE_SEEK, 1, 1);
    EXPECT_EQ(readAll(rapi, handle), nullptr) << "the seek back failed";
    d.device->failCall(Call::ReadFile, ERROR_GEN_FAILURE, 1);
    EXPECT_EQ(readAll(rapi, handle), nullptr);
    rapi.CeCloseHandle(handle);
    EXPECT_EQ(readAll(rapi, handle), nullptr) << "a closed handle";

    handle = rapi.CeCreateFile("\\empty", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
    auto none = readAll(rapi, handle);
    ASSERT_TRUE(none) << "an empty file is empty data, not no data";
    EXPECT_TRUE(none->empty());
    rapi.CeCloseHandle(handle);
}

TEST(WinceUpload, TheBodyGoesToTheDeviceInChunks)
{
    DeviceStore d;
    d.mkdir("Docs");
    std::string body = Pattern(200000);
    BodyStream client(body + "trailing bytes are not read");
    EXPECT_TRUE(d.store->putDataFromFile("/vol/Docs/new.bin", client.stream(), 200000));
    EXPECT_EQ(ReadFile(d.fs("Docs/new.bin")), body);
    EXPECT_EQ(d.device->takeWrites(), (std::vector<DWORD>{65536, 65536, 65536, 3392}));
    char rest[9] = {};
    EXPECT_EQ(client.stream().read(rest, 8), 8u);
    EXPECT_STREQ(rest, "trailing") << "exactly the announced length is taken";
}

TEST(WinceUpload, ABodyThatEndsEarlyKeepsTheWholeChunks)
{
    DeviceStore d;
    d.put("old.bin", "previous contents");
    BodyStream client(Pattern(150000));
    EXPECT_FALSE(d.store->putDataFromFile("/vol/old.bin", client.stream(), 200000));
    EXPECT_EQ(ReadFile(d.fs("old.bin")), Pattern(131072));
    EXPECT_EQ(d.calls(Call::CloseHandle), 1);
}

TEST(WinceUpload, EmptyNegativeAndMetafileBodies)
{
    DeviceStore d;
    d.put("full.txt", "something");
    {
        BodyStream client("");
        EXPECT_TRUE(d.store->putDataFromFile("/vol/full.txt", client.stream(), 0));
        EXPECT_TRUE(d.store->putDataFromFile("/vol/created.txt", client.stream(), 0));
    }
    EXPECT_EQ(ReadFile(d.fs("full.txt")), "");
    EXPECT_TRUE(PathExists(d.fs("created.txt")));
    {
        d.put("kept.txt", "kept");
        BodyStream client("");
        EXPECT_FALSE(d.store->putDataFromFile("/vol/kept.txt", client.stream(), -5));
        EXPECT_EQ(ReadFile(d.fs("kept.txt")), "kept");
    }
    int before = d.allCalls();
    {
        BodyStream client("finder data");
        EXPECT_TRUE(d.store->putDataFromFile("/vol/x/y/._z", client.stream(), 11));
    }
    EXPECT_EQ(ReadFile(d.mirror("x/y/._z")), "finder data");
    EXPECT_EQ(d.allCalls(), before) << "a metafile body never reaches the device";
    {
        BodyStream client("hidden");
        EXPECT_TRUE(d.store->putDataFromFile("/vol/.hidden", client.stream(), 6));
    }
    EXPECT_EQ(ReadFile(d.fs(".hidden")), "hidden") << "only metafiles go to the mirror";
    EXPECT_FALSE(PathExists(d.mirror(".hidden")));
    {
        BodyStream client("x");
        EXPECT_FALSE(d.store->putDataFromFile("/vol", client.stream(), 1));
        EXPECT_FALSE(d.store->putDataFromFile("/vol/", client.stream(), 1)) << "the root is no file";
        EXPECT_FALSE(d.store->putDataFromFile("/vol/no/such/folder.txt", client.stream(), 1));
    }
}

TEST(WinceUpload, DeviceWriteFaults)
{
    DeviceStore d;
    std::string body = Pattern(100000);
    {
        // Short writes: the rest of each chunk is written next.
        d.device->shortWrites(30000);
        BodyStream client(body);
        EXPECT_TRUE(d.store->putDataFromFile("/vol/short.bin", client.stream(), 100000));
        EXPECT_EQ(ReadFile(d.fs("short.bin")), body);
        EXPECT_EQ(d.device->takeWrites(), (std::vector<DWORD>{65536, 35536, 5536, 34464, 4464}));
        d.device->clearFaults();
    }
    {
        // A write that takes nothing ends the upload instead of spinning.
        d.device->shortWrites(0, 1);
        BodyStream client(body);
        EXPECT_FALSE(d.store->putDataFromFile("/vol/zero.bin", client.stream(), 100000));
        EXPECT_EQ(ReadFile(d.fs("zero.bin")).size(), 65536u);
        d.device->clearFaults();
    }
    {
        d.device->failCall(Call::WriteFile, ERROR_DISK_FULL, 1);
        BodyStream client(body);
        EXPECT_FALSE(d.store->putDataFromFile("/vol/full.bin", client.stream(), 100000));
    }
    {
        d.device->failCall(Call::CreateFile, ERROR_ACCESS_DENIED, 1);
        int closes = d.calls(Call::CloseHandle);
        BodyStream client(body);
        EXPECT_FALSE(d.store->putDataFromFile("/vol/refused.bin", client.stream(), 100000));
        EXPECT_FALSE(PathExists(d.fs("refused.bin")));
        EXPECT_EQ(d.calls(Call::CloseHandle), closes) << "nothing opened, nothing closed";
    }
    {
        d.put("held.bin", "in use");
        HeldFile held(d.fs("held.bin"));
        ASSERT_TRUE(held.held());
        BodyStream client(body);
        EXPECT_FALSE(d.store->putDataFromFile("/vol/held.bin", client.stream(), 100000));
        EXPECT_EQ(ReadFile(d.fs("held.bin")), "in use");
    }
}

TEST(WinceUpload, FromMemory)
{
    DeviceStore d;
    std::string body = Pattern(150000);
    EXPECT_TRUE(d.store->putData(Bytes(body), "/vol/mem.bin"));
    EXPECT_EQ(ReadFile(d.fs("mem.bin")), body);
    EXPECT_EQ(d.device->takeWrites(), (std::vector<DWORD>{65536, 65536, 18928}));

    EXPECT_FALSE(d.store->putData(Bytes(""), "/vol/mem.bin")) << "no chunk written";
    EXPECT_EQ(ReadFile(d.fs("mem.bin")), "") << "but the file was replaced";
    EXPECT_FALSE(d.store->putData(nullptr, "/vol/none.bin"));

    d.device->shortWrites(0);
    EXPECT_FALSE(d.store->putData(Bytes("abc"), "/vol/zero.bin"));
    d.device->clearFaults();

    EXPECT_TRUE(d.store->putData(Bytes("meta"), "/vol/a/._m"));
    EXPECT_EQ(ReadFile(d.mirror("a/._m")), "meta");
}

TEST(WinceChanges, DeleteMoveAndMakeFolder)
{
    DeviceStore d;
    d.put("a.txt", "a");
    d.put("Full/inside.txt", "i");
    d.mkdir("Empty");
    d.put("b.txt", "b");

    EXPECT_EQ(d.store->delete_("/vol/a.txt"), 204);
    EXPECT_FALSE(PathExists(d.fs("a.txt")));
    EXPECT_EQ(d.store->delete_("/vol/Empty/"), 204);
    EXPECT_FALSE(PathExists(d.fs("Empty")));
    EXPECT_EQ(d.store->delete_("/vol/Full/"), 422);
    EXPECT_TRUE(PathExists(d.fs("Full/inside.txt")));
    EXPECT_EQ(d.store->delete_("/vol/a.txt"), 422) << "already gone";
    EXPECT_EQ(d.store->delete_("/vol/"), 422);
    EXPECT_EQ(d.store->delete_("/vol"), 422);

    EXPECT_EQ(d.store->move("/vol/b.txt", "/vol/Full/c.txt"), 201);
    EXPECT_EQ(ReadFile(d.fs("Full/c.txt")), "b");
    EXPECT_EQ(d.store->move("/vol/Full/c.txt", "/vol/Full/inside.txt"), 412) << "no replacing";
    EXPECT_EQ(d.store->move("/vol/none", "/vol/other"), 412);
    EXPECT_EQ(d.store->move("/vol/Full/", "/vol/Moved%20Folder/"), 201);
    EXPECT_TRUE(PathExists(d.fs("Moved Folder/inside.txt")));
    int before = d.calls(Call::MoveFile);
    EXPECT_EQ(d.store->move("/vol/Moved%20Folder", std::nullopt), 412);
    EXPECT_EQ(d.store->move("/vol/Moved%20Folder", "/vol"), 412);
    EXPECT_EQ(d.calls(Call::MoveFile), before) << "nothing to move to, no device call";

    EXPECT_EQ(d.store->move("/vol/", "/vol/Root"), 412) << "the root stays where it is";
    EXPECT_EQ(d.store->move("/vol/Moved%20Folder", "/vol/Moved%20Folder/Inner"), 412) << "not into itself";
    EXPECT_TRUE(PathExists(d.fs("Moved Folder/inside.txt")));

    EXPECT_EQ(d.store->mkCollection("/vol/New/"), 201);
    EXPECT_TRUE(IsDirectory(d.fs("New")));
    EXPECT_EQ(d.store->mkCollection("/vol/New"), 405);
    EXPECT_EQ(d.store->mkCollection("/vol/no/parent"), 405);
    EXPECT_EQ(d.store->mkCollection("/vol"), 405);
}

TEST(WinceChanges, InjectedRefusals)
{
    DeviceStore d;
    d.put("a.txt", "a");
    d.device->failCall(Call::DeleteFile, ERROR_GEN_FAILURE, 1);
    d.device->failCall(Call::RemoveDirectory, ERROR_GEN_FAILURE, 1);
    EXPECT_EQ(d.store->delete_("/vol/a.txt"), 422);
    EXPECT_TRUE(PathExists(d.fs("a.txt")));
    d.device->failCall(Call::DeleteFile, ERROR_GEN_FAILURE, 1);
    EXPECT_EQ(d.store->delete_("/vol/a.txt"), 422) << "a file the folder removal cannot take either";
    d.device->failCall(Call::MoveFile, ERROR_SHARING_VIOLATION, 1);
    EXPECT_EQ(d.store->move("/vol/a.txt", "/vol/b.txt"), 412);
    d.device->failCall(Call::CreateDirectory, ERROR_DISK_FULL, 1);
    EXPECT_EQ(d.store->mkCollection("/vol/D"), 405);
    EXPECT_EQ(d.store->move("/vol/a.txt", "/vol/b.txt"), 201);

    // A file another program holds can be neither deleted nor moved.
    HeldFile held(d.fs("b.txt"));
    ASSERT_TRUE(held.held());
    EXPECT_EQ(d.store->delete_("/vol/b.txt"), 422);
    EXPECT_EQ(d.store->move("/vol/b.txt", "/vol/c.txt"), 412);
    EXPECT_TRUE(PathExists(d.fs("b.txt")));
}

TEST(WinceChanges, MetafilesChangeInTheMirror)
{
    DeviceStore d;
    d.putMirror("._a", "meta");
    d.put("dev.txt", "device");

    // The source decides: a metafile moves within the mirror, whatever its new name.
    EXPECT_EQ(d.store->move("/vol/._a", "/vol/sub/b"), 201);
    EXPECT_EQ(ReadFile(d.mirror("sub/b")), "meta");
    EXPECT_FALSE(PathExists(d.fs("sub")));
    EXPECT_EQ(d.store->move("/vol/._none", std::nullopt), 412);
    EXPECT_EQ(d.store->mkCollection("/vol/._d"), 201);
    EXPECT_TRUE(IsDirectory(d.mirror("._d")));
    EXPECT_EQ(d.store->mkCollection("/vol/._d"), 405);
    EXPECT_EQ(d.store->delete_("/vol/._d"), 204);
    EXPECT_FALSE(PathExists(d.mirror("._d")));
    EXPECT_EQ(d.store->delete_("/vol/._never"), 204);
    EXPECT_EQ(d.allCalls(), 0) << "metafile changes never reach the device";

    // A device file renamed to a metafile name stays on the device.
    EXPECT_EQ(d.store->move("/vol/dev.txt", "/vol/._dev"), 201);
    EXPECT_EQ(ReadFile(d.fs("._dev")), "device");
    EXPECT_FALSE(PathExists(d.mirror("._dev")));
}

TEST(WinceLog, DebugLinesAreWrittenAsWorded)
{
    std::optional<std::string> bus;
    if (const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS"))
        bus = address;
    ::setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/bus", 1);
    DeviceStore d;
    d.put("Docs/a.txt", "a");

    LogSetDebugState(true);
    testing::internal::CaptureStderr();
    d.store->getChildren("/vol/Docs/");
    RaisedName([&] { d.store->getProperty("resourcetype", "/vol/nope"); });
    d.device->failCall(Call::CreateFile, ERROR_ACCESS_DENIED, 1);
    RaisedName([&] { d.store->getData("/vol/Docs/a.txt"); });
    d.store->putData(Bytes("hello"), "/vol/Docs/.x.y");
    d.store->putData(Bytes("meta"), "/vol/Docs/._a.txt");
    d.store->uriToLocal("/vol/%E6%BC%A2%FF");
    d.store->uriToLocal("/vol/%E6%BC%A2");
    std::string log = testing::internal::GetCapturedStderr();
    LogSetDebugState(false);
    if (bus)
        ::setenv("DBUS_SESSION_BUS_ADDRESS", bus->c_str(), 1);
    else
        ::unsetenv("DBUS_SESSION_BUS_ADDRESS");

    for (const char* line : {
             "uriToLocal: /Docs/\n",
             "uriToLocal - encoding: Western (Mac OS Roman)\n",
             "uriToLocal(\\Docs)=\\Docs\n",
             "Encoding: Western (Mac OS Roman)\n",
             "getChildren - about to RAPI\n",
             "getChildren - done RAPI: (a.txt)\n",
             "localToUri: \\Docs\\a.txt /Docs/a.txt\n",
             "find: /vol/nope not found\n",
             "getData CECreateFile, CeGetLastError = 5\n",
             "putData - pathItems: (, Docs, .x.y) 1 0\n",
             "putData - starts with a .\n",
             "Write 5 - result: 1\n",
             "IsMetafile - filename ._a.txt starts with ._\n",
             "uriToLocal(<5ce6bca2 ff>)=\\\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\n",
             "uriToLocal - encoding: Unicode (UTF-8)\n",
             "uriToLocal(\\\xE6\xBC\xA2)=\\\xE6\xBC\xA2\n",
             "Encoding: Unicode (UTF-8)\n",
         })
        EXPECT_NE(log.find(std::string(":  ") + line), std::string::npos)
            << "missing line: " << line << "\nin:\n" << log;
}

// The device store over an emulated device, below HTTP: the device calls it makes
// (finds and their masks, reads behind the caches, write chunks), the answers
// that need no device, and the device faults injected under the session.

#include "WinceTestSupport.h"

#include "extras/ReadAll.h"
#include "log/LogClient.h"
#include "platform/SocketStream.h"

#include <sys/socket.h>
#include <thread>

using namespace wincetest;
using Call = FaultInjectingDevice::Call;
using testsupport::PathExists;
using testsupport::ReadFile;

namespace {

// A client stream carrying `body` (written from a thread, so that a body larger
// than the socket buffer never blocks) and then ending.
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
        stream_.reset(); // drains what the store left unread, so the writer ends
        writer_.join();
    }
    platform::SocketStream& operator*() { return *stream_; }

private:
    std::unique_ptr<platform::SocketStream> stream_;
    std::thread writer_;
};

} // namespace

TEST(WinceFinds, OneFindPerListingAndOneFindForAllPropertiesOfAResource)
{
    DeviceStore d;
    d.put("Docs/a.txt", "12345678");
    d.put("b.txt", "1");

    d.store->getChildren("/vol/Docs/");
    d.store->getChildren("/vol/");
    EXPECT_EQ(d.device->takeFinds(),
              (std::vector<std::pair<std::string, DWORD>>{{"\\Docs\\*", 0xBF}, {"\\*", 0xBF}}));

    EXPECT_EQ(d.store->getProperty("getcontentlength", "/vol/Docs/a.txt"), "8");
    EXPECT_EQ(d.store->getProperty("resourcetype", "/vol/Docs/a.txt"), "");
    EXPECT_TRUE(d.store->getProperty("getlastmodified", "/vol/Docs/a.txt"));
    EXPECT_TRUE(d.store->isFile("/vol/Docs/a.txt"));
    EXPECT_EQ(d.device->takeFinds(), (std::vector<std::pair<std::string, DWORD>>{{"\\Docs\\a.txt", 0x3B}}));

    // Another URI replaces the entry; the cache has no age, so a change behind
    // the store's back is not seen...
    EXPECT_EQ(d.store->getProperty("getcontentlength", "/vol/b.txt"), "1");
    d.put("b.txt", "1234");
    EXPECT_EQ(d.store->getProperty("getcontentlength", "/vol/b.txt"), "1");
    EXPECT_EQ(d.device->takeFinds().size(), 1u);
    // ...but every change through the store empties it, even one that fails.
    const std::function<void()> changes[] = {
        [&] { d.store->putData(Bytes("12"), "/vol/b.txt"); },
        [&] { d.store->delete_("/vol/missing"); },
        [&] { d.store->move("/vol/missing", "/vol/elsewhere"); },
        [&] { d.store->mkCollection("/vol/b.txt"); },
    };
    for (const auto& change : changes) {
        d.store->getProperty("getcontentlength", "/vol/b.txt");
        d.device->takeFinds();
        change();
        d.store->getProperty("getcontentlength", "/vol/b.txt");
        EXPECT_EQ(d.device->takeFinds().size(), 1u);
    }

    // A miss is not remembered; a name no device file can have is not looked up.
    EXPECT_EQ(RaisedName([&] { d.store->getProperty("resourcetype", "/vol/nope"); }), "DAVNotFoundException");
    EXPECT_EQ(RaisedName([&] { d.store->getProperty("getcontentlength", "/vol/nope"); }), "DAVNotFoundException");
    EXPECT_EQ(d.device->takeFinds().size(), 2u);
    EXPECT_EQ(RaisedName([&] { d.store->getProperty("resourcetype", "/vol/Docs/%2A"); }), "DAVNotFoundException");
    EXPECT_EQ(RaisedName([&] { d.store->getProperty("resourcetype", "/vol/a%3F.txt"); }), "DAVNotFoundException");
    EXPECT_TRUE(d.device->takeFinds().empty());
}

TEST(WinceProperties, TheRootAndMetafilesNeedNoDevice)
{
    DeviceStore d;
    d.putMirror("a/._b", "12");
    d.put("a/._b", "on the device, never seen");
    EXPECT_TRUE(d.store->isDirectory("/vol/"));
    EXPECT_FALSE(d.store->isFile("/other/"));
    EXPECT_EQ(d.store->getProperty("getcontentlength", "/vol/"), "5");
    EXPECT_EQ(d.store->getProperty("getcontentlength", "/vol/a/._b"), "2");
    EXPECT_EQ(d.store->getProperty("resourcetype", "/vol/a/._b"), "");
    EXPECT_EQ(d.store->getProperty("getcontenttype", "/vol/a/._b"), "text/html");
    EXPECT_EQ(d.store->getProperty("quota", "/vol/a/._b"), "0");
    EXPECT_EQ(d.store->getProperty("quotaused", "/vol/.DS_Store"), "0");
    EXPECT_TRUE(d.store->isFile("/vol/._absent"));
    EXPECT_EQ(Text(d.store->getData("/vol/a/._b")), "12");
    EXPECT_EQ(d.allCalls(), 0);
    EXPECT_EQ(RaisedName([&] { d.store->getProperty("resourcetype", "/vol/._absent"); }), "DAVNotFoundException");
}

TEST(WinceProperties, SizesPastFourGiB)
{
    DeviceStore d;
    d.put("big.bin", "");
    ASSERT_EQ(::truncate(d.fs("big.bin").c_str(), (off_t(1) << 32) + 7), 0); // sparse
    EXPECT_EQ(d.store->getProperty("getcontentlength", "/vol/big.bin"), "4294967303");
    EXPECT_EQ(d.store->getChildren("/vol/").at(0).at("getcontentlength"), "7") << "records carry the low 32 bits";
}

TEST(WinceReadCache, OneDeviceReadPerTenSecondsForFilesUnderTenMiB)
{
    DeviceStore d;
    d.put("a.txt", "first");
    d.put("b.txt", "bee");
    d.put("limit.bin", std::string(10485759, 'x'));
    d.put("over.bin", std::string(10485760, 'y'));

    auto first = d.store->getData("/vol/a.txt");
    EXPECT_EQ(d.store->getData("/vol/a.txt"), first) << "the cached contents themselves";
    EXPECT_EQ(d.calls(Call::ReadFile), 1);
    ASSERT_TRUE(gCachedFileDate);
    *gCachedFileDate -= std::chrono::milliseconds(9900);
    d.store->getData("/vol/a.txt");
    EXPECT_EQ(d.calls(Call::ReadFile), 1);
    *gCachedFileDate -= std::chrono::milliseconds(100);
    d.store->getData("/vol/a.txt");
    EXPECT_EQ(d.calls(Call::ReadFile), 2) << "ten seconds old: read again";

    d.putMirror("._m", "meta");
    d.store->getData("/vol/._m");
    EXPECT_EQ(gCachedFileName, "/vol/a.txt") << "metafiles neither use nor empty the cache";
    d.store->getData("/vol/b.txt");
    d.store->getData("/vol/a.txt");
    EXPECT_EQ(d.calls(Call::ReadFile), 4) << "another file in between empties it";

    for (const char* uri : {"/vol/over.bin", "/vol/over.bin", "/vol/limit.bin", "/vol/limit.bin"})
        d.store->getData(uri);
    EXPECT_EQ(d.calls(Call::ReadFile), 7);
}

TEST(WinceReadAll, SizeThenOneReadFromTheStart)
{
    DeviceStore d;
    d.put("a.bin", Pattern(70000));
    d.put("empty", "");
    Rapi& rapi = *d.rapi;
    HANDLE handle = rapi.CeCreateFile("\\a.bin", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
    uint8_t skip[10];
    DWORD got = 0;
    ASSERT_TRUE(rapi.CeReadFile(handle, skip, sizeof skip, got));
    auto all = readAll(rapi, handle);
    ASSERT_TRUE(all);
    EXPECT_EQ(std::string(all->begin(), all->end()), Pattern(70000));
    EXPECT_EQ(d.calls(Call::ReadFile), 2);

    d.device->failCall(Call::SetFilePointer, ERROR_INVALID_HANDLE, 1);
    EXPECT_EQ(readAll(rapi, handle), nullptr) << "no size";
    d.device->failCall(Call::SetFilePointer, ERROR_NEGATIVE_SEEK, 1, 1);
    EXPECT_EQ(readAll(rapi, handle), nullptr) << "no seek back";
    d.device->failCall(Call::ReadFile, ERROR_GEN_FAILURE, 1);
    EXPECT_EQ(readAll(rapi, handle), nullptr);
    rapi.CeCloseHandle(handle);

    handle = rapi.CeCreateFile("\\empty", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
    auto none = readAll(rapi, handle);
    ASSERT_TRUE(none) << "an empty file is empty data, not no data";
    EXPECT_TRUE(none->empty());
    rapi.CeCloseHandle(handle);
}

TEST(WinceFaults, ReadsAnswerBusyOrNotFoundAndCacheNothing)
{
    DeviceStore d;
    d.put("a.txt", "contents");
    d.device->failCall(Call::CreateFile, ERROR_SHARING_VIOLATION, 1);
    EXPECT_EQ(RaisedName([&] { d.store->getData("/vol/a.txt"); }), "DAVBusyException");
    d.device->failCall(Call::CreateFile, ERROR_ACCESS_DENIED, 1);
    EXPECT_EQ(RaisedName([&] { d.store->getData("/vol/a.txt"); }), "DAVNotFoundException");
    // Opened but unreadable: an error, never an empty file.
    d.device->failCall(Call::ReadFile, ERROR_GEN_FAILURE, 1);
    EXPECT_EQ(RaisedName([&] { d.store->getData("/vol/a.txt"); }), "DAVNotFoundException");
    EXPECT_EQ(gCachedFileName, std::nullopt);
    EXPECT_EQ(Text(d.store->getData("/vol/a.txt")), "contents");
    EXPECT_EQ(d.calls(Call::CreateFile), d.calls(Call::CloseHandle) + 2) << "every opened handle is closed";
}

TEST(WinceFaults, UploadsWriteWholeChunksOrFail)
{
    DeviceStore d;
    std::string body = Pattern(100000);
    d.device->shortWrites(30000);
    EXPECT_TRUE(d.store->putDataFromFile("/vol/short.bin", *BodyStream(body), 100000));
    EXPECT_EQ(ReadFile(d.fs("short.bin")), body) << "the rest of each chunk is written next";
    EXPECT_EQ(d.device->takeWrites(), (std::vector<DWORD>{65536, 35536, 5536, 34464, 4464}));

    d.device->shortWrites(0, 1); // a write that takes nothing ends the upload
    EXPECT_FALSE(d.store->putDataFromFile("/vol/zero.bin", *BodyStream(body), 100000));
    EXPECT_EQ(ReadFile(d.fs("zero.bin")).size(), 65536u);
    EXPECT_FALSE(d.store->putData(Bytes("abc"), "/vol/zero.bin"));
    d.device->clearFaults();

    d.device->failCall(Call::WriteFile, ERROR_DISK_FULL, 1);
    EXPECT_FALSE(d.store->putDataFromFile("/vol/full.bin", *BodyStream(body), 100000));
    d.device->failCall(Call::CreateFile, ERROR_ACCESS_DENIED, 1);
    EXPECT_FALSE(d.store->putDataFromFile("/vol/refused.bin", *BodyStream(body), 100000));
    EXPECT_FALSE(PathExists(d.fs("refused.bin")));
    d.put("held.bin", "in use");
    HeldFile held(d.fs("held.bin"));
    ASSERT_TRUE(held.held());
    EXPECT_FALSE(d.store->putDataFromFile("/vol/held.bin", *BodyStream(body), 100000));
    EXPECT_EQ(ReadFile(d.fs("held.bin")), "in use");
    EXPECT_EQ(d.calls(Call::CreateFile), d.calls(Call::CloseHandle) + 2);

    d.put("kept.txt", "kept");
    EXPECT_FALSE(d.store->putDataFromFile("/vol/kept.txt", *BodyStream(""), -5));
    EXPECT_EQ(ReadFile(d.fs("kept.txt")), "kept") << "a negative length leaves the file alone";

    // From memory, in the same chunks; nothing written is a failure.
    d.device->takeWrites();
    EXPECT_TRUE(d.store->putData(Bytes(Pattern(150000)), "/vol/mem.bin"));
    EXPECT_EQ(d.device->takeWrites(), (std::vector<DWORD>{65536, 65536, 18928}));
    EXPECT_FALSE(d.store->putData(Bytes(""), "/vol/mem.bin"));
    EXPECT_EQ(ReadFile(d.fs("mem.bin")), "");
}

TEST(WinceFaults, RefusedChangesAnswerTheirStatus)
{
    DeviceStore d;
    d.put("a.txt", "a");
    d.device->failCall(Call::DeleteFile, ERROR_GEN_FAILURE, 2);
    d.device->failCall(Call::RemoveDirectory, ERROR_GEN_FAILURE, 1);
    EXPECT_EQ(d.store->delete_("/vol/a.txt"), 422);
    EXPECT_EQ(d.store->delete_("/vol/a.txt"), 422) << "nor does the folder removal take a file";
    d.device->failCall(Call::MoveFile, ERROR_SHARING_VIOLATION, 1);
    EXPECT_EQ(d.store->move("/vol/a.txt", "/vol/b.txt"), 412);
    d.device->failCall(Call::CreateDirectory, ERROR_DISK_FULL, 1);
    EXPECT_EQ(d.store->mkCollection("/vol/D"), 405);
    EXPECT_TRUE(PathExists(d.fs("a.txt")));

    HeldFile held(d.fs("a.txt"));
    ASSERT_TRUE(held.held());
    EXPECT_EQ(d.store->delete_("/vol/a.txt"), 422);
    EXPECT_EQ(d.store->move("/vol/a.txt", "/vol/c.txt"), 412);
    EXPECT_EQ(d.store->move("/vol/", "/vol/Root"), 412);
    EXPECT_TRUE(PathExists(d.fs("a.txt")));
}

TEST(WinceFaults, UrisWithoutAPathAreOrderlyFailures)
{
    DeviceStore d;
    for (const char* uri : {"/vol", ""}) {
        EXPECT_EQ(RaisedName([&] { d.store->getData(uri); }), "DAVNotFoundException");
        EXPECT_EQ(RaisedName([&] { d.store->getChildren(uri); }), "DAVNotFoundException");
        EXPECT_EQ(RaisedName([&] { d.store->getProperty("getcontentlength", uri); }), "DAVNotFoundException");
        EXPECT_FALSE(d.store->putData(Bytes("x"), uri));
        EXPECT_FALSE(d.store->putDataFromFile(uri, *BodyStream("x"), 1));
        EXPECT_EQ(d.store->delete_(uri), 422);
        EXPECT_EQ(d.store->mkCollection(uri), 405);
        EXPECT_EQ(d.store->move(uri, "/vol/x"), 412);
        EXPECT_EQ(d.store->move("/vol/x", uri), 412);
    }
    EXPECT_EQ(d.store->move("/vol/x", std::nullopt), 412);
    EXPECT_EQ(d.calls(Call::MoveFile) + d.calls(Call::CreateFile) + d.calls(Call::DeleteFile), 0);
}


// The device store over an emulated device, below HTTP: the device calls it makes
// (finds and their masks, reads behind the caches, write chunks) and the device
// faults injected under the session.

#include "WinceTestSupport.h"

#include <sys/stat.h>

using namespace wincetest;
using Call = FaultInjectingDevice::Call;

namespace {

// The names in the device's root folder, sorted.
std::vector<std::string> FsNames(const DeviceStore& d) { return EntryNames(d.fs("")); }

} // namespace

TEST(WinceFinds, OneFindPerListingOrResourceEveryChangeEmptiesTheEntryAndSizesPastFourGiB)
{
    DeviceStore d;
    d.put("Docs/a.txt", "12345678");
    d.store->getChildren("/vol/Docs/");
    EXPECT_EQ(d.store->getProperty("getcontentlength", "/vol/Docs/a.txt"), "8");
    EXPECT_EQ(d.store->getProperty("resourcetype", "/vol/Docs/a.txt"), "");
    EXPECT_TRUE(d.store->deviceStore().isFile("/vol/Docs/a.txt"));
    EXPECT_EQ(d.device->take("find"), (std::vector<std::string>{"find \\Docs\\* 191", "find \\Docs\\a.txt 59"}));

    // Every change through the store empties the entry, even one that fails.
    const std::function<void()> changes[] = {
        [&] { d.store->putDataFromFile("/vol/b.txt", *ClientBody("12", 2), 2); },
        [&] { d.store->delete_("/vol/missing"); },
        [&] { d.store->move("/vol/missing", "/vol/elsewhere"); },
        [&] { d.store->mkCollection("/vol/Docs/a.txt"); },
    };
    for (const auto& change : changes) {
        d.store->getProperty("getcontentlength", "/vol/Docs/a.txt");
        change();
        d.device->take("");
        d.store->getProperty("getcontentlength", "/vol/Docs/a.txt");
        EXPECT_EQ(d.device->take("find").size(), 1u);
    }
    // A name no device file can have is not looked up.
    EXPECT_EQ(RaisedName([&] { d.store->getProperty("resourcetype", "/vol/Docs/%2A"); }), "DAVNotFoundException");
    EXPECT_EQ(RaisedName([&] { d.store->getProperty("resourcetype", "/vol/a%3F.txt"); }), "DAVNotFoundException");
    EXPECT_TRUE(d.device->take("find").empty());

    d.put("big.bin", "");
    ASSERT_EQ(::truncate(d.fs("big.bin").c_str(), (off_t(1) << 32) + 7), 0); // sparse
    EXPECT_EQ(d.store->getProperty("getcontentlength", "/vol/big.bin"), "4294967303");
    EXPECT_EQ(d.store->getChildren("/vol/").at(1).size, 4294967303u) << "records carry all 64 bits";
}

TEST(WinceReadCache, ForTheCacheLifeForFilesUnderTenMiB)
{
    DeviceStore d;
    d.put("a.txt", "first");
    d.put("limit.bin", std::string(10485759, 'x'));
    d.put("over.bin", std::string(10485760, 'y'));
    const auto life = std::chrono::duration_cast<std::chrono::milliseconds>(kCacheLife);

    auto first = d.store->getData("/vol/a.txt");
    d.now += life - std::chrono::milliseconds(100);
    EXPECT_EQ(d.store->getData("/vol/a.txt"), first) << "the cached contents themselves";
    EXPECT_EQ(d.calls(Call::ReadFile), 1);
    d.now += std::chrono::milliseconds(100);
    d.store->getData("/vol/a.txt");
    EXPECT_EQ(d.calls(Call::ReadFile), 2) << "as old as the cache life: read again";

    // Ten MiB is too large to keep; and one file is kept at a time.
    for (const char* uri : {"/vol/over.bin", "/vol/over.bin", "/vol/limit.bin", "/vol/limit.bin", "/vol/a.txt"})
        d.store->getData(uri);
    EXPECT_EQ(d.calls(Call::ReadFile), 6);

    // An idle daemon gives the memory back only once the contents could not be served.
    d.now += life - std::chrono::milliseconds(1);
    d.store->releaseIdleMemory();
    EXPECT_EQ(d.store->deviceStore().cachedReadName(), "/vol/a.txt");
    d.now += std::chrono::milliseconds(1);
    d.store->releaseIdleMemory();
    EXPECT_EQ(d.store->deviceStore().cachedReadName(), std::nullopt);
}

// Each injected device fault, on a store holding a.txt: what the store answers, and
// what a.txt holds afterwards.
TEST(WinceFaults, DeviceFaultsAnswerTheirStatusAndLoseNothing)
{
    using Fault = std::function<testsupport::ChildProcess(DeviceStore&)>;
    using Action = std::function<std::string(WinceDataSource&)>;
    const std::string body = RandomBytes(100000, 3);
    auto fail = [](Call call, uint32_t code, int skip = 0) -> Fault {
        return [=](DeviceStore& d) { return d.device->failCall(call, code, 1, skip), testsupport::ChildProcess(); };
    };
    auto writeAtMost = [](uint32_t bytes, int skip) -> Fault {
        return [=](DeviceStore& d) { return d.device->shortWrites(bytes, skip), testsupport::ChildProcess(); };
    };
    Fault held = [](DeviceStore& d) { return HoldFile(d.fs("a.txt")); };
    Fault readOnly = [](DeviceStore& d) { return ::chmod(d.fs("a.txt").c_str(), 0444), testsupport::ChildProcess(); };
    Fault noDelete = [](DeviceStore& d) {
        d.device->failCall(Call::RemoveDirectory, ERROR_GEN_FAILURE, 1);
        return d.device->failCall(Call::DeleteFile, ERROR_GEN_FAILURE, 2), testsupport::ChildProcess();
    };
    Action up = [&](WinceDataSource& s) {
        return s.putDataFromFile("/vol/a.txt", *ClientBody(body, 100000), 100000) ? "done" : "failed";
    };
    Action get = [](WinceDataSource& s) { return RaisedName([&] { s.getData("/vol/a.txt"); }); };
    auto said = [](StoreStatus status) -> std::string {
        return status == StoreStatus::NotRemoved ? "not removed"
               : status == StoreStatus::NotMoved ? "not moved"
               : status == StoreStatus::Exists   ? "exists"
                                                 : "other";
    };
    Action del = [&](WinceDataSource& s) { return said(s.delete_("/vol/a.txt")); };
    Action move = [&](WinceDataSource& s) { return said(s.move("/vol/a.txt", "/vol/b.txt")); };
    Action mkdir = [&](WinceDataSource& s) { return said(s.mkCollection("/vol/D")); };
    const std::string notFound = "DAVNotFoundException";
    struct Case {
        const char* what;
        Fault fault;
        Action action;
        std::string result, left;
        int failedOpens;
    } cases[] = {
        {"busy open", fail(Call::CreateFile, ERROR_SHARING_VIOLATION), get, "DAVBusyException", "old", 1},
        {"refused open", fail(Call::CreateFile, ERROR_ACCESS_DENIED), get, notFound, "old", 1},
        {"failed read: never an empty file", fail(Call::ReadFile, ERROR_GEN_FAILURE), get, notFound, "old", 0},
        {"no size to read", fail(Call::SetFilePointer, ERROR_INVALID_HANDLE), get, notFound, "old", 0},
        {"no seek back to the start", fail(Call::SetFilePointer, ERROR_NEGATIVE_SEEK, 1), get, notFound, "old", 0},
        {"short writes: the rest of each chunk next", writeAtMost(30000, 0), up, "done", body, 0},
        // A failed upload leaves the old file whole, and no scratch file behind.
        {"a write that takes nothing", writeAtMost(0, 1), up, "failed", "old", 0},
        {"disk full", fail(Call::WriteFile, ERROR_DISK_FULL), up, "failed", "old", 0},
        {"device gone mid-write", fail(Call::WriteFile, ERROR_DEVICE_NOT_CONNECTED, 1), up, "failed", "old", 0},
        {"upload refused", fail(Call::CreateFile, ERROR_ACCESS_DENIED), up, "failed", "old", 1},
        {"upload over a held file", held, up, "failed", "old", 0},
        {"upload over a read-only file", readOnly, up, "failed", "old", 0},
        {"old file cannot be moved aside", fail(Call::MoveFile, ERROR_ACCESS_DENIED), up, "failed", "old", 0},
        {"new file cannot take the name", fail(Call::MoveFile, ERROR_ACCESS_DENIED, 1), up, "failed", "old", 0},
        {"failed delete, as a file or a folder", noDelete, del, "not removed", "old", 0},
        {"delete of a held file", held, del, "not removed", "old", 0},
        {"busy move", fail(Call::MoveFile, ERROR_SHARING_VIOLATION), move, "not moved", "old", 0},
        {"move of a held file", held, move, "not moved", "old", 0},
        {"failed new folder", fail(Call::CreateDirectory, ERROR_DISK_FULL), mkdir, "exists", "old", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        DeviceStore d;
        d.put("a.txt", "old");
        auto holder = c.fault(d);
        EXPECT_EQ(c.action(*d.store), c.result);
        EXPECT_TRUE(PathExists(d.fs("a.txt")) && ReadFile(d.fs("a.txt")) == c.left);
        EXPECT_FALSE(PathExists(d.fs("b.txt")) || PathExists(d.fs("D")));
        EXPECT_EQ(FsNames(d), std::vector<std::string>{"a.txt"}) << "nothing stray";
        EXPECT_EQ(d.store->deviceStore().cachedReadName(), std::nullopt) << "a failed read caches nothing";
        EXPECT_EQ(d.calls(Call::CreateFile), d.calls(Call::CloseHandle) + c.failedOpens) << "every handle is closed";
    }
}

// Uploads go to the device in 64 KiB chunks, each short write followed by the rest of its chunk.
TEST(WinceFaults, UploadChunks)
{
    DeviceStore d;
    d.device->shortWrites(30000);
    EXPECT_TRUE(d.store->putDataFromFile("/vol/short.bin", *ClientBody(RandomBytes(100000, 3), 100000), 100000));
    EXPECT_EQ(d.device->take("write"),
              (std::vector<std::string>{"write 65536", "write 35536", "write 5536", "write 34464", "write 4464"}));
    EXPECT_EQ(d.store->move("/vol/", "/vol/Root"), StoreStatus::NotMoved) << "the root never moves";
}

// A new file needs no old one set aside: its scratch file takes the name in one
// move, and when that move fails (a file took the name since the find) the scratch
// file goes and nothing else changes.
TEST(WinceUploads, ANewFileTakesItsNameInOneMove)
{
    for (bool refused : {false, true}) {
        SCOPED_TRACE(refused ? "the move refused" : "the move made");
        DeviceStore d;
        if (refused)
            d.device->failCall(Call::MoveFile, ERROR_ALREADY_EXISTS, 1);
        EXPECT_EQ(d.store->putDataFromFile("/vol/n.txt", *ClientBody("new", 3), 3), !refused);
        EXPECT_EQ(d.calls(Call::MoveFile), 1);
        EXPECT_EQ(FsNames(d), refused ? std::vector<std::string>{} : std::vector<std::string>{"n.txt"});
    }
}

// Scratch files an upload could not remove (the device went away before the
// clean-up) are never listed, found or served, and go at the next listing; the
// only copy of an old file whose swap could not be undone is never removed or
// hidden, and goes back under its name once the device answers.
TEST(WinceUploads, ScratchFilesAreHiddenAndRemovedButNeverTheOnlyCopy)
{
    const std::string body = RandomBytes(70000, 9);
    auto upload = [&](DeviceStore& d) {
        return d.store->putDataFromFile("/vol/a.txt", *ClientBody(body, 70000), 70000);
    };
    auto scratchName = [](DeviceStore& d) {
        auto names = FsNames(d);
        return names.size() == 2 && names.front() == "a.txt" ? names.back() : std::string();
    };
    {
        SCOPED_TRACE("device gone during the upload and its clean-up");
        DeviceStore d;
        d.put("a.txt", "old");
        d.device->failCall(Call::WriteFile, ERROR_DEVICE_NOT_CONNECTED, 1);
        d.device->failCall(Call::DeleteFile, ERROR_DEVICE_NOT_CONNECTED, 1);
        EXPECT_FALSE(upload(d));
        std::string stray = scratchName(d);
        ASSERT_EQ(stray.rfind(DeviceFileStore::kScratchPrefix, 0), 0u) << stray;
        EXPECT_EQ(ReadFile(d.fs("a.txt")), "old");
        EXPECT_EQ(RaisedName([&] { d.store->getProperty("getcontentlength", "/vol/" + stray); }),
                  "DAVNotFoundException");
        EXPECT_EQ(RaisedName([&] { d.store->getData("/vol/" + stray); }), "DAVNotFoundException");
        EXPECT_EQ(d.store->move("/vol/" + stray, "/vol/kept"), StoreStatus::NotMoved);
        auto listing = d.store->getChildren("/vol/");
        ASSERT_EQ(listing.size(), 1u);
        EXPECT_EQ(listing[0].name, "/vol/a.txt");
        EXPECT_EQ(FsNames(d), std::vector<std::string>{"a.txt"}) << "removed once the device answers";
    }
    {
        SCOPED_TRACE("old file's copy not removed after the swap");
        DeviceStore d;
        d.put("a.txt", "old");
        d.device->failCall(Call::DeleteFile, ERROR_DEVICE_NOT_CONNECTED, 1);
        EXPECT_TRUE(upload(d)) << "the new contents are whole in place";
        EXPECT_EQ(ReadFile(d.fs("a.txt")), body);
        EXPECT_NE(scratchName(d), "");
        d.store->getChildren("/vol/");
        EXPECT_EQ(FsNames(d), std::vector<std::string>{"a.txt"});
    }
    {
        SCOPED_TRACE("a name spelt in other letter case replaces the file under its own name");
        DeviceStore d;
        d.put("a.txt", "old");
        EXPECT_TRUE(d.store->putDataFromFile("/vol/A.TXT", *ClientBody("new", 3), 3));
        EXPECT_EQ(FsNames(d), std::vector<std::string>{"a.txt"});
        EXPECT_EQ(ReadFile(d.fs("a.txt")), "new");
    }
    {
        SCOPED_TRACE("swap failed and could not be undone");
        DeviceStore d;
        d.put("a.txt", "old");
        d.device->failCall(Call::MoveFile, ERROR_DEVICE_NOT_CONNECTED, 3, 1);
        EXPECT_FALSE(upload(d));
        ASSERT_EQ(FsNames(d).size(), 1u) << "the old file under its backup name, nothing else";
        std::string kept = FsNames(d).front();
        EXPECT_FALSE(DeviceFileStore::IsScratchName(kept)) << kept << ": the only copy is never hidden";
        EXPECT_EQ(d.store->getChildren("/vol/").size(), 1u) << "still away: listed under its backup name";
        EXPECT_EQ(ReadFile(d.fs(kept)), "old");
        d.store->getChildren("/vol/");
        EXPECT_EQ(FsNames(d), std::vector<std::string>{"a.txt"}) << "back under its name once the device answers";
        EXPECT_EQ(ReadFile(d.fs("a.txt")), "old");
    }
    {
        SCOPED_TRACE("swap undone too late: the name was taken meanwhile");
        DeviceStore d;
        d.put("a.txt", "old");
        d.device->failCall(Call::MoveFile, ERROR_DEVICE_NOT_CONNECTED, 2, 1);
        EXPECT_FALSE(upload(d));
        std::string kept = FsNames(d).front();
        d.put("a.txt", "made on the handheld");
        d.store->getChildren("/vol/");
        EXPECT_EQ(ReadFile(d.fs(kept)), "old") << "neither copy is lost";
        EXPECT_EQ(ReadFile(d.fs("a.txt")), "made on the handheld");
    }
}

// The device store below HTTP: the byte rules (URIs to device paths, and metafile
// names); over an emulated device, the device calls it makes (finds and their
// masks, reads behind the caches, write chunks) and the device faults injected
// under the session; and the metafile mirror over real temporary folders (its
// listings, refusals and the parents it makes for a PUT or a MOVE are checked end
// to end).

#include "WinceTestSupport.h"
#include "device/Metafile.h"
#include "device/UnixMirroredFSDataSource.h"

#include <algorithm>
#include <filesystem>
#include <set>
#include <sys/stat.h>
#include <tuple>

using namespace wincetest;

using Call = FaultInjectingDevice::Call;

namespace {

// The names in the device's root folder, sorted.
std::vector<std::string> FsNames(const DeviceStore& d) { return EntryNames(d.fs("")); }

// A store whose device holds a.txt, "old".
struct OldFile : DeviceStore {
    OldFile() { put("a.txt", "old"); }
};

// No device attached: mapping never asks the device.
struct MappingStore {
    TempDir mirror;
    Rapi unattached{nullptr};
    WinceDataSource store{unattached, mirror.path()};
};

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

    SparseFile(d.fs("big.bin"), (uint64_t(1) << 32) + 7, "");
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
    using Fault = std::function<ChildProcess(DeviceStore&)>;
    using Action = std::function<std::string(WinceDataSource&)>;
    const std::string body = RandomBytes(100000, 3);
    auto fail = [](Call call, uint32_t code, int skip = 0) -> Fault {
        return [=](DeviceStore& d) { return d.device->failCall(call, code, 1, skip), ChildProcess(); };
    };
    auto writeAtMost = [](uint32_t bytes, int skip) -> Fault {
        return [=](DeviceStore& d) { return d.device->shortWrites(bytes, skip), ChildProcess(); };
    };
    Fault held = [](DeviceStore& d) { return HoldFile(d.fs("a.txt")); };
    Fault readOnly = [](DeviceStore& d) { return ::chmod(d.fs("a.txt").c_str(), 0444), ChildProcess(); };
    Fault noDelete = [](DeviceStore& d) {
        d.device->failCall(Call::RemoveDirectory, ERROR_GEN_FAILURE, 1);
        return d.device->failCall(Call::DeleteFile, ERROR_GEN_FAILURE, 2), ChildProcess();
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
    // what, the fault, the action, what it gives, how many opens failed
    const std::tuple<const char*, Fault, Action, std::string, int> cases[] = {
        {"busy open", fail(Call::CreateFile, ERROR_SHARING_VIOLATION), get, "DAVBusyException", 1},
        {"refused open", fail(Call::CreateFile, ERROR_ACCESS_DENIED), get, notFound, 1},
        {"failed read: never an empty file", fail(Call::ReadFile, ERROR_GEN_FAILURE), get, notFound, 0},
        {"no size to read", fail(Call::SetFilePointer, ERROR_INVALID_HANDLE), get, notFound, 0},
        {"no seek back to the start", fail(Call::SetFilePointer, ERROR_NEGATIVE_SEEK, 1), get, notFound, 0},
        // A failed upload leaves the old file whole, and no scratch file behind.
        {"a write that takes nothing", writeAtMost(0, 1), up, "failed", 0},
        {"disk full", fail(Call::WriteFile, ERROR_DISK_FULL), up, "failed", 0},
        {"device gone mid-write", fail(Call::WriteFile, ERROR_DEVICE_NOT_CONNECTED, 1), up, "failed", 0},
        {"upload refused", fail(Call::CreateFile, ERROR_ACCESS_DENIED), up, "failed", 1},
        {"upload over a held file", held, up, "failed", 0},
        {"upload over a read-only file", readOnly, up, "failed", 0},
        {"old file cannot be moved aside", fail(Call::MoveFile, ERROR_ACCESS_DENIED), up, "failed", 0},
        {"new file cannot take the name", fail(Call::MoveFile, ERROR_ACCESS_DENIED, 1), up, "failed", 0},
        {"failed delete, as a file or a folder", noDelete, del, "not removed", 0},
        {"delete of a held file", held, del, "not removed", 0},
        {"busy move", fail(Call::MoveFile, ERROR_SHARING_VIOLATION), move, "not moved", 0},
        {"move of a held file", held, move, "not moved", 0},
        {"failed new folder", fail(Call::CreateDirectory, ERROR_DISK_FULL), mkdir, "exists", 0},
    };
    for (const auto& [what, fault, action, result, failedOpens] : cases) {
        SCOPED_TRACE(what);
        OldFile d;
        auto holder = fault(d);
        EXPECT_EQ(action(*d.store), result);
        EXPECT_TRUE(PathExists(d.fs("a.txt")) && ReadFile(d.fs("a.txt")) == "old");
        EXPECT_FALSE(PathExists(d.fs("b.txt")) || PathExists(d.fs("D")));
        EXPECT_EQ(FsNames(d), std::vector<std::string>{"a.txt"}) << "nothing stray";
        EXPECT_EQ(d.store->deviceStore().cachedReadName(), std::nullopt) << "a failed read caches nothing";
        EXPECT_EQ(d.calls(Call::CreateFile), d.calls(Call::CloseHandle) + failedOpens) << "every handle is closed";
    }
}

// Uploads go to the device in 64 KiB chunks, each short write followed by the rest of its chunk.
TEST(WinceFaults, UploadChunks)
{
    DeviceStore d;
    d.device->shortWrites(30000);
    const std::string body = RandomBytes(100000, 3);
    EXPECT_TRUE(d.store->putDataFromFile("/vol/short.bin", *ClientBody(body, 100000), 100000));
    EXPECT_EQ(d.device->take("write"),
              (std::vector<std::string>{"write 65536", "write 35536", "write 5536", "write 34464", "write 4464"}));
    EXPECT_EQ(ReadFile(d.fs("short.bin")), body);
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
        OldFile d;
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
        OldFile d;
        d.device->failCall(Call::DeleteFile, ERROR_DEVICE_NOT_CONNECTED, 1);
        EXPECT_TRUE(upload(d)) << "the new contents are whole in place";
        EXPECT_EQ(ReadFile(d.fs("a.txt")), body);
        EXPECT_NE(scratchName(d), "");
        d.store->getChildren("/vol/");
        EXPECT_EQ(FsNames(d), std::vector<std::string>{"a.txt"});
    }
    {
        SCOPED_TRACE("a name spelt in other letter case replaces the file under its own name");
        OldFile d;
        EXPECT_TRUE(d.store->putDataFromFile("/vol/A.TXT", *ClientBody("new", 3), 3));
        EXPECT_EQ(FsNames(d), std::vector<std::string>{"a.txt"});
        EXPECT_EQ(ReadFile(d.fs("a.txt")), "new");
    }
    {
        SCOPED_TRACE("swap failed and could not be undone");
        OldFile d;
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
        OldFile d;
        d.device->failCall(Call::MoveFile, ERROR_DEVICE_NOT_CONNECTED, 2, 1);
        EXPECT_FALSE(upload(d));
        std::string kept = FsNames(d).front();
        d.put("a.txt", "made on the handheld");
        d.store->getChildren("/vol/");
        EXPECT_EQ(ReadFile(d.fs(kept)), "old") << "neither copy is lost";
        EXPECT_EQ(ReadFile(d.fs("a.txt")), "made on the handheld");
    }
}

TEST(WincePathMapping, UriToLocal)
{
    const std::pair<const char*, std::optional<std::string>> cases[] = {
        {"/vol", std::nullopt}, {"/", std::nullopt}, {"", std::nullopt}, // the bare volume is the root for reads only
        {"/vol/", "\\"}, {"/vol//", "\\"}, {"/other/a/b", "\\a\\b"},
        {"/vol/a//b//", "\\a\\\\b"}, // inner doubles stay, trailing ones go
        {"/vol/r%C3%A9sum%c3%a9.txt", "\\r\xC3\xA9sum\xC3\xA9.txt"},
        // Decoding comes after the separators are made and the end trimmed.
        {"/vol/a%2Fb", "\\a/b"}, {"/vol/a%5Cb", "\\a\\b"}, {"/vol/a%5C", "\\a\\"},
        {"/vol/100%/%zz%4%2", "\\100%\\%zz%4%2"},
        // Not UTF-8 (a stray byte, an overlong form, a surrogate): read as ASCII,
        // each byte ASCII lacks a U+FFFD, never a "?" that a find takes as a wildcard.
        {"/vol/%FFA", "\\\xEF\xBF\xBD" "A"}, {"/vol/%C0%AF", "\\\xEF\xBF\xBD\xEF\xBF\xBD"},
        {"/vol/%ED%A0%80", "\\\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
    };
    MappingStore m;
    for (const auto& [uri, device] : cases)
        EXPECT_EQ(m.store.uriToLocal(uri), device) << uri;
    // The first mappable URI ("/vol/", the bare volume maps nothing) names the
    // volume of every listing. The way back, and that it gives text an answer can
    // carry, is the round trip fuzz_uri_mapping checks.
    EXPECT_EQ(m.store.localToUri("\\y"), "/vol/y");
}

TEST(WincePathMapping, IsMetafile)
{
    // Decided on the name the device would be given: escapes decoded, letter case
    // folded, trailing separators dropped, escaped separators taken as separators.
    for (const char* uri : {"/vol/._Notes.txt", "/vol/a/.DS_Store", "/vol/.DS_Store_old", "/vol/a/b/._",
                            "/vol/%2E_enc", "/vol/.%5Fenc", "/vol/%2EDS_Store", "/vol/.DS_STORE", "/vol/.ds_store",
                            "/vol/My%20Documents%2F._x", "/vol/a%5C._x", "/vol/._dir/", "/vol/._dir//"})
        EXPECT_TRUE(IsMetafile(uri)) << uri;
    for (const char* uri : {"/vol/a._b", "/vol/x.DS_Store", "/vol/.hidden", "/vol/._x/a", "/vol/%2E%2Ex", "/vol/.%5",
                            ""})
        EXPECT_FALSE(IsMetafile(uri)) << uri;
}

// After a hang-up removed the mirror, a change still in flight makes none of its
// folders again, the mirror's own least of all. (A file in the way, or a move with
// nowhere to go, are data-safety rows end to end; paths climbing out never map:
// the local store's confinement, which fuzz_uri_mapping checks.)
TEST(UnixMirroredFSDataSource, ChangesAfterTheMirrorWasRemovedRemakeNothing)
{
    TempDir top;
    UnixMirroredFSDataSource store(top / "pxwm_mirroredfs");
    EXPECT_FALSE(store.putDataFromFile("/vol/._top", *ClientBody("x", 1), 1));
    EXPECT_FALSE(store.putDataFromFile("/vol/a/._deep", *ClientBody("x", 1), 1));
    EXPECT_EQ(store.mkCollection("/vol/a/._dir"), StoreStatus::Refused);
    EXPECT_EQ(store.move("/vol/a/._top", std::string("/vol/b/._top")), StoreStatus::NotMoved);
    EXPECT_TRUE(EntryNames(top.path()).empty());
}

// What stands in the mirror besides files and folders (a link planted there, a
// FIFO, a link to a device node) is never opened, read, written through or
// listed: each read finds nothing at once, each change stays inside the mirror.
TEST(UnixMirroredFSDataSource, ServesAndWritesRegularFilesOnly)
{
    TempDir top;
    const std::string root = top / "pxwm_mirroredfs";
    MakeDirs(root);
    WriteFile(top / "secret", "secret");
    MakeDirs(top / "outside");
    namespace fsys = std::filesystem;
    fsys::create_symlink(top / "secret", root + "/._link");
    fsys::create_symlink("/dev/zero", root + "/._zero");
    fsys::create_symlink(top / "outside", root + "/linked");
    ASSERT_EQ(::mkfifo((root + "/._fifo").c_str(), 0600), 0);
    WriteFile(root + "/._plain", "plain");
    WriteFile(root + "/.DS_STORE", "spelled as the client sent it");
    WriteFile(root + "/stray", "no metafile");
    UnixMirroredFSDataSource store(root);

    for (const char* uri : {"/vol/._link", "/vol/._zero", "/vol/._fifo", "/vol/linked/._x"}) {
        SCOPED_TRACE(uri);
        EXPECT_FALSE(store.isFile(uri));
        EXPECT_THROW(store.getDataFile(uri), std::exception);
        EXPECT_THROW(store.getData(uri), std::exception);
    }
    EXPECT_TRUE(store.exists("/vol/._fifo")) << "something stands there, so nothing is made over it unasked";
    EXPECT_EQ(store.mkCollection("/vol/._fifo"), StoreStatus::Exists);

    // Changes through a linked folder fail. (A link at the name is replaced itself:
    // the data-safety rows end to end.)
    EXPECT_FALSE(store.putDataFromFile("/vol/linked/._x", *ClientBody("x", 1), 1));
    EXPECT_EQ(store.mkCollection("/vol/linked/._d"), StoreStatus::Refused);
    EXPECT_EQ(store.move("/vol/._plain", std::string("/vol/linked/._p")), StoreStatus::NotMoved);
    EXPECT_TRUE(EntryNames(top / "outside").empty());

    // Only the regular files named as metafiles are listed, in any letter case;
    // the linked folder lists nothing.
    std::set<std::string> listed;
    for (const auto& child : store.getChildren("/vol/"))
        listed.insert(child.name);
    EXPECT_EQ(listed, (std::set<std::string>{"/vol/._plain", "/vol/.DS_STORE"}));
    EXPECT_TRUE(store.getChildren("/vol/linked/").empty());
    // Deleting a link removes the link, never its target.
    EXPECT_EQ(store.delete_("/vol/._link"), StoreStatus::Done);
    EXPECT_FALSE(PathExists(root + "/._link"));
    EXPECT_EQ(ReadFile(top / "secret"), "secret");
}

// A URI names the same mirror file however it spells the name: escapes decoded,
// folders without regard to letter case, a folder made by MKCOL found again by
// any spelling of its name.
TEST(UnixMirroredFSDataSource, EverySpellingOfANameFindsTheSameFile)
{
    TempDir top;
    const std::string root = top / "pxwm_mirroredfs";
    MakeDirs(root);
    UnixMirroredFSDataSource store(root);
    EXPECT_TRUE(store.putDataFromFile("/vol/My%20Documents/._r%C3%A9sum%C3%A9", *ClientBody("x", 1), 1));
    EXPECT_EQ(ReadFile(root + "/my documents/._r\xc3\xa9sum\xc3\xa9"), "x");
    for (const char* uri : {"/vol/My Documents/._r\xc3\xa9sum\xc3\xa9", "/vol/MY%20DOCUMENTS/._r%c3%a9sum%c3%a9",
                            "/vol/my%20documents%2F._r\xc3\xa9sum\xc3\xa9", "/vol/my documents%5C._r%C3%A9sum%C3%A9"})
        EXPECT_TRUE(store.isFile(uri)) << uri;
    EXPECT_FALSE(store.isFile("/vol/My%20Documents/._R%C3%A9sum%C3%A9")) << "a file's own name keeps its case";

    EXPECT_EQ(store.mkCollection("/vol/._Dir"), StoreStatus::Created);
    EXPECT_EQ(store.mkCollection("/vol/._DIR/"), StoreStatus::Exists);
    EXPECT_TRUE(store.isDirectory("/vol/._dIr"));
    EXPECT_EQ(store.delete_("/vol/._DIR"), StoreStatus::Done);
    EXPECT_FALSE(PathExists(root + "/._dir"));
    // (That no name climbs out or hides a NUL is what fuzz_uri_mapping checks.)
}

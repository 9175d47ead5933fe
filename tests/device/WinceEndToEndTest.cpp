// The device store end to end: the real daemon over an emulated device named by
// PAVRIX_DEVICE, its mirror in the test's own HOME, its device calls in
// PAVRIX_DEVICE_TRACE; and over the device link, with a simulated handheld that is
// plugged in late, pulled out in the middle of a download and of an upload, and
// plugged in again: no restart, no 2xx for a cut upload, and the next request sees
// it.

#include "WinceTestSupport.h"
#include "platform/CalendarDate.h"

#include <signal.h>
#include <thread>

using namespace wincetest;
using namespace std::chrono_literals;

namespace {

// The value of one property in the response for `href`.
std::optional<std::string> PropertyOf(const std::string& document, const std::string& href, const std::string& name)
{
    size_t start = std::min(document.find("<D:href>" + href + "</D:href>"), document.size());
    std::string response = document.substr(start, document.find("</D:response>", start) - start);
    std::smatch m;
    if (!std::regex_search(response, m, std::regex("<ns0:" + name + ">([^<]*(<D:collection/>)?)</ns0:" + name + ">")))
        return std::nullopt;
    return m[1].str();
}

} // namespace

TEST_F(WinceDaemon, ListingsWithMirrorFilesAndTheRootsFixedProperties)
{
    auto settings = platform::PlistObject::dictionary();
    for (auto [key, value] : {std::pair<const char*, int64_t>{"StoreSize", 64 << 20}, {"StoreFree", 16 << 20},
                              {"CardsTotal", int64_t(8) << 30}, {"CardsFree", int64_t(1) << 30}})
        settings.set(key, platform::PlistObject::integer(value));
    settings.writeAtomically(deviceDir / "device.plist");
    put("My Documents/Notes #1.txt", "note");
    MakeDirs(fs("My Documents/Pictures"));
    start();
    // The mirror keeps names as the device would: escapes decoded, folder names in
    // lower case, so that every spelling of a folder finds the same metafiles.
    WriteFile(mirror("my documents/._Notes #1.txt"), "xattr");

    const std::string notes = "/vol/My%20Documents/Notes%20%231.txt", meta = "/vol/My%20Documents/._Notes%20%231.txt",
                      pictures = "/vol/My%20Documents/Pictures";
    Response listing = ask(Propfind("/vol/My%20Documents/", "1"));
    ASSERT_EQ(listing.status(), 207) << listing.body;
    EXPECT_EQ(Hrefs(listing.body), (std::vector<std::string>{"/vol/My%20Documents/", notes, pictures, meta}));
    EXPECT_EQ(traced("CeFindAllFiles\t\\My Documents\\*\n"), 1u);
    // A metafile takes no room on the device; the root's size and room are fixed or
    // the device's, in 512-byte blocks.
    Response metaAlone = ask(Propfind(meta, "0")), root = ask(Propfind("/vol/", "0"));
    uint64_t total = (uint64_t(8) << 30) + (64 << 20), free = (uint64_t(1) << 30) + (16 << 20);
    const std::tuple<const Response&, std::string, const char*, std::string> properties[] = {
        {listing, notes, "getcontentlength", "4"}, {listing, pictures, "resourcetype", "<D:collection/>"},
        {listing, meta, "resourcetype", ""}, {listing, meta, "getcontentlength", "5"},
        {metaAlone, meta, "quota", "0"}, {metaAlone, meta, "quotaused", "0"},
        {root, "/vol/", "resourcetype", "<D:collection/>"}, {root, "/vol/", "getcontentlength", "5"},
        {root, "/vol/", "quota", std::to_string(total / 512)},
        {root, "/vol/", "quotaused", std::to_string((total - free) / 512)},
    };
    for (const auto& [answer, href, name, value] : properties)
        EXPECT_EQ(PropertyOf(answer.body, href, name), value) << href << " " << name;
    auto modified = PropertyOf(root.body, "/vol/", "getlastmodified").value_or("none");
    bool recent = false;
    for (int s = -5; s <= 1; ++s)
        recent |= modified == platform::FormatHTTPDate(std::chrono::system_clock::now() + std::chrono::seconds(s));
    EXPECT_TRUE(recent) << modified << ": the root is always new";
}

TEST_F(WinceDaemon, GetsRefusedChangesMetafileMovesAndAfterAHangUpAnEmptyTree)
{
    put("Docs/page.txt", "device text");
    MakeDirs(fs("Docs/Sub"));
    put("Docs/held.txt", "in use");
    SetTime(fs("Docs/page.txt"), 1417392000);
    put("Full/inside.txt", "i");
    put("a.txt", "a");
    put("Docs/a.txt", "first");
    start();
    WriteFile(mirror("._x"), "meta");

    Response file = ask(Request("GET", "/vol/docs/PAGE.txt"));
    EXPECT_EQ(file.status(), 200);
    EXPECT_EQ(file.header("Last-Modified"), "Mon, 01 Dec 2014 00:00:00 GMT");
    EXPECT_EQ(file.header("Content-type"), "text/html");
    EXPECT_EQ(file.body, "device text");
    // Read again within the cache life: the same bytes, from the cache, though the file changed.
    put("Docs/page.txt", "changed");
    EXPECT_EQ(ask(Request("GET", "/vol/docs/PAGE.txt")).body, "device text");
    EXPECT_EQ(traced("CeReadFile\n"), 1u) << ReadFile(trace);
    Response folder = ask(Request("GET", "/vol/Docs/Sub/"));
    EXPECT_EQ(folder.status(), 200);
    EXPECT_EQ(folder.header("Content-length"), "0");
    {
        auto holder = HoldFile(fs("Docs/held.txt"));
        Response busy = ask(Request("GET", "/vol/Docs/held.txt"));
        EXPECT_EQ(busy.status(), 403);
        EXPECT_NE(busy.body.find("The requested URL /vol/Docs/held.txt was busy."), std::string::npos) << busy.body;
    }

    EXPECT_EQ(ask(Request("DELETE", "/vol/Full/")).status(), 422);
    EXPECT_EQ(ask(Request("MKCOL", "/vol/Full/")).status(), 405);
    EXPECT_EQ(ask(Request("MOVE", "/vol/a.txt")).status(), 412) << "no destination";
    // A metafile source moves within the mirror, and what it becomes is listed.
    EXPECT_EQ(ask(Request("MOVE", "/vol/._x", "Destination: http://h/vol/Full/._y\r\n")).status(), 201);
    EXPECT_EQ(ReadFile(mirror("full/._y")), "meta");
    EXPECT_EQ(Hrefs(ask(Propfind("/vol/Full/", "1")).body),
              (std::vector<std::string>{"/vol/Full/", "/vol/Full/inside.txt", "/vol/Full/._y"}));
    // The mirror's folders are the device's: a listing names them once.
    EXPECT_EQ(Hrefs(ask(Propfind("/vol/", "1")).body),
              (std::vector<std::string>{"/vol/", "/vol/a.txt", "/vol/Docs", "/vol/Full"}));

    daemon->process().signal(SIGHUP);
    ASSERT_TRUE(WaitFor([&] { return !PathExists(mirror("")); }));
    std::string before = ReadFile(trace);
    // The empty store names nothing of the device (only its own placeholder member).
    Response after = ask(Propfind("/vol/Docs/", "1"));
    EXPECT_EQ(after.status(), 207);
    EXPECT_EQ(Hrefs(after.body), (std::vector<std::string>{"/vol/Docs/", "/vol/Docs/subdir"}));
    EXPECT_EQ(ask(Request("GET", "/vol/Docs/a.txt")).status(), 404) << "no empty file where the store has none";
    EXPECT_EQ(ask(Request("PUT", "/vol/Docs/a.txt", "Content-Length: 1\r\n") + "x").status(), 424);
    EXPECT_EQ(ask(Request("DELETE", "/vol/Docs/a.txt")).status(), 501);
    EXPECT_EQ(ReadFile(fs("Docs/a.txt")), "first");
    EXPECT_EQ(ReadFile(trace), before) << "the device is not asked any more";
}

// The volume that names every listing's children is the one of the first request
// that worked: neither a request that failed nor an absolute-form target (whose
// scheme would read as a volume) fixes it.
TEST_F(WinceDaemon, TheVolumeIsFixedOnlyByARequestThatWorked)
{
    put("Docs/a.txt", "a");
    start();
    EXPECT_EQ(ask(Request("GET", "/stray/missing.txt")).status(), 404);
    EXPECT_EQ(ask(Request("GET", "http://evil.example/vol/Docs/a.txt")).body, "a");
    EXPECT_EQ(ask(Request("PUT", "http://evil.example/vol/Docs/._m", "Content-Length: 1\r\n") + "m").status(), 201);
    EXPECT_EQ(ReadFile(mirror("docs/._m")), "m");
    EXPECT_EQ(Hrefs(ask(Propfind("/other/Docs/", "1")).body),
              (std::vector<std::string>{"/other/Docs/", "/vol/Docs/a.txt", "/vol/Docs/._m"}));
}

TEST(LinkDaemon, PluggedInLatePulledOutMidTransferAndBack)
{
    TempDir home;
    DeviceFolder deviceDir;
    deviceDir.put("My Documents/a.txt", "alpha");
    std::string big = RandomBytes(1 << 20, 7);
    deviceDir.put("My Documents/big.bin", big);
    // A link of 256 KiB/s, so that a transfer of a few 64 KiB chunks takes seconds.
    SimulatedHandheld handheld(deviceDir.path(), "rndis", {"--bytes-per-second", "262144"});
    handheld.unplug();
    Daemon daemon(home.path(), handheld.env(NoBusEnv()));
    auto ask = [&](const std::string& raw) { return ParseResponse(daemon.request(raw)); };
    auto probe = [&] { daemon.request(Request("GET", "/Device/~attached~")); };

    // No handheld yet: as with no device.
    EXPECT_EQ(ask(Request("GET", "/Device/My%20Documents/a.txt")).status(), 404);

    handheld.start();
    ASSERT_TRUE(handheld.waitConnected(1)) << handheld.stderrText();
    ASSERT_TRUE(handheld.waitAttached(probe)) << handheld.stderrText();
    auto got = ask(Request("GET", "/Device/My%20Documents/a.txt"));
    EXPECT_EQ(got.status(), 200);
    EXPECT_EQ(got.body, "alpha");

    // Pulled out a second into a 1 MiB download (four seconds at this speed):
    // the answer ends short, never padded or passed off as whole.
    int fd = ConnectLoopback(daemon.port());
    SendAll(fd, Request("GET", "/Device/My%20Documents/big.bin"));
    std::this_thread::sleep_for(1s);
    handheld.unplug();
    std::string cut = ReadUntilClose(fd, 20s);
    ::close(fd);
    EXPECT_LT(cut.size(), big.size()) << "the download cannot have finished";
    EXPECT_EQ(cut.find(big), std::string::npos);

    // Back again, and pulled out a second into a 1 MiB upload.
    handheld.start();
    ASSERT_TRUE(handheld.waitConnected(2)) << handheld.stderrText();
    ASSERT_TRUE(handheld.waitAttached(probe)) << handheld.stderrText();
    fd = ConnectLoopback(daemon.port());
    std::string upload = RandomBytes(1 << 20, 8);
    std::thread sender([&] {
        SendAll(fd, Request("PUT", "/Device/My%20Documents/up.bin",
                            "Content-Length: " + std::to_string(upload.size()) + "\r\n") +
                        upload);
    });
    std::this_thread::sleep_for(1s);
    handheld.unplug();
    std::string answer = ReadUntilClose(fd, 30s);
    sender.join();
    ::close(fd);
    ASSERT_FALSE(answer.empty()) << "the cut upload is answered";
    EXPECT_GE(ParseResponse(answer).status(), 400) << answer.substr(0, 200);
    EXPECT_NE(ReadFile(deviceDir.fs("My Documents/up.bin")), upload);

    // Back once more: the daemon, never restarted, sees it at the next request.
    handheld.start();
    ASSERT_TRUE(handheld.waitConnected(3)) << handheld.stderrText();
    ASSERT_TRUE(handheld.waitAttached(probe)) << handheld.stderrText();
    got = ask(Request("GET", "/Device/My%20Documents/a.txt"));
    EXPECT_EQ(got.status(), 200);
    EXPECT_EQ(got.body, "alpha");
    EXPECT_TRUE(daemon.process().running());
}

// The password handed over at start (as webdav-start --password leaves it) unlocks
// a locked handheld. (A wrong one leaves the link locked, LinkLife's test, which
// the daemon answers as no device, as above.)
TEST(LinkPassword, TheHandedOverPasswordUnlocksTheHandheld)
{
    TempDir home;
    DeviceFolder deviceDir;
    deviceDir.put("a.txt", "alpha");
    SimulatedHandheld handheld(deviceDir.path(), "rndis", {"--password", "s3cret"});
    WriteFile(home / "Library/Caches/Pavrix_webdavpasswdtmp.plist",
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
              "<key>Password</key><data>czNjcmV0</data></dict></plist>\n");
    Daemon daemon(home.path(), handheld.env(NoBusEnv()));
    ASSERT_TRUE(handheld.waitConnected()) << handheld.stderrText();
    Response got;
    // The handheld's answer to the password follows its connection closely.
    WaitFor([&] {
        got = ParseResponse(daemon.request(Request("GET", "/Device/a.txt")));
        return got.status() == 200;
    }, 3s);
    EXPECT_EQ(got.status(), 200);
    EXPECT_EQ(got.body, "alpha");
}

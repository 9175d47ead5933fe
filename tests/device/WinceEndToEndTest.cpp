// The device store behind real HTTP connections: an in-process server over an
// emulated device, and the real daemon with PAVRIX_DEVICE for what only the whole
// process shows (the device trace, the mirror in the user's caches, hang-up).

#include "WinceTestSupport.h"

#include "http/InProcessServer.h"
#include "platform/CalendarDate.h"

#include <csignal>
#include <regex>
#include <sys/socket.h>

using namespace wincetest;
using testsupport::ParseResponse;
using testsupport::PathExists;
using testsupport::ReadFile;
using testsupport::Response;

namespace {

std::string Propfind(const std::string& uri, const std::string& depth, const std::string& props)
{
    std::string body = "<?xml version=\"1.0\"?><D:propfind xmlns:D=\"DAV:\"><D:prop>" + props + "</D:prop></D:propfind>";
    return "PROPFIND " + uri + " HTTP/1.1\r\nDepth: " + depth + "\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::vector<std::string> Hrefs(const std::string& document)
{
    std::vector<std::string> hrefs;
    std::regex href("<D:href>([^<]*)</D:href>");
    for (auto it = std::sregex_iterator(document.begin(), document.end(), href); it != std::sregex_iterator(); ++it)
        hrefs.push_back((*it)[1]);
    return hrefs;
}

// The value of one property in the response for `href`.
std::optional<std::string> PropertyOf(const std::string& document, const std::string& href, const std::string& name)
{
    size_t start = document.find("<D:href>" + href + "</D:href>");
    if (start == std::string::npos)
        return std::nullopt;
    size_t end = document.find("</D:response>", start);
    std::string response = document.substr(start, end - start);
    std::smatch m;
    if (!std::regex_search(response, m, std::regex("<ns0:" + name + ">([^<]*(<D:collection/>)?)</ns0:" + name + ">")))
        return std::nullopt;
    return m[1].str();
}

std::string Request(const std::string& method, const std::string& uri, const std::string& extra = "")
{
    return method + " " + uri + " HTTP/1.1\r\n" + extra + "\r\n";
}

// Sends the head and only part of the announced body, then stops sending.
std::string ExchangeCut(int port, const std::string& head, const std::string& partialBody)
{
    int fd = testsupport::ConnectLoopback(port);
    if (fd < 0)
        return "";
    testsupport::SendAll(fd, head + partialBody);
    ::shutdown(fd, SHUT_WR);
    std::string answer = testsupport::ReadUntilClose(fd);
    ::close(fd);
    return answer;
}

std::string Pattern(size_t size)
{
    std::string text(size, '\0');
    for (size_t i = 0; i < size; ++i)
        text[i] = static_cast<char>('A' + (i * 13 + i / 4096) % 26);
    return text;
}

size_t CountLines(const std::string& text, const std::string& line)
{
    size_t n = 0, pos = 0;
    while ((pos = text.find(line, pos)) != std::string::npos) {
        if (pos == 0 || text[pos - 1] == '\n')
            ++n;
        pos += line.size();
    }
    return n;
}

struct ServedDevice : DeviceStore {
    using DeviceStore::DeviceStore;
    InProcessServer server{std::static_pointer_cast<DataSource>(store)};
    Response ask(const std::string& raw) const { return ParseResponse(server.request(raw)); }
};

} // namespace

TEST(WinceOverHttp, ListingsWithMirrorFilesAndTheRootsFixedProperties)
{
    auto settings = platform::PlistObject::dictionary();
    settings.set("StoreSize", platform::PlistObject::integer(64 << 20));
    settings.set("StoreFree", platform::PlistObject::integer(16 << 20));
    settings.set("CardsTotal", platform::PlistObject::integer(int64_t(8) << 30));
    settings.set("CardsFree", platform::PlistObject::integer(int64_t(1) << 30));
    ServedDevice d(settings);
    d.put("My Documents/Notes #1.txt", "note");
    d.mkdir("My Documents/Pictures");
    // The mirror keeps names as the URI spells them, escapes and all.
    d.putMirror("My%20Documents/._Notes%20%231.txt", "xattr");

    Response listing = d.ask(Propfind("/vol/My%20Documents/", "1", "<D:resourcetype/><D:getcontentlength/>"));
    ASSERT_EQ(listing.status(), 207) << listing.body;
    EXPECT_EQ(Hrefs(listing.body),
              (std::vector<std::string>{"/vol/My%20Documents/", "/vol/My%20Documents/Notes%20%231.txt",
                                        "/vol/My%20Documents/Pictures", "/vol/My%20Documents/._Notes%20%231.txt"}));
    EXPECT_EQ(PropertyOf(listing.body, "/vol/My%20Documents/Notes%20%231.txt", "getcontentlength"), "4");
    EXPECT_EQ(PropertyOf(listing.body, "/vol/My%20Documents/Pictures", "resourcetype"), "<D:collection/>");
    EXPECT_EQ(PropertyOf(listing.body, "/vol/My%20Documents/._Notes%20%231.txt", "resourcetype"), "");
    EXPECT_EQ(PropertyOf(listing.body, "/vol/My%20Documents/._Notes%20%231.txt", "getcontentlength"), "5");

    Response root = d.ask(Propfind("/vol/", "0", "<D:resourcetype/><D:getcontentlength/><D:getlastmodified/>"
                                                 "<D:quota/><D:quotaused/><D:getetag/>"));
    ASSERT_EQ(root.status(), 207);
    EXPECT_EQ(PropertyOf(root.body, "/vol/", "resourcetype"), "<D:collection/>");
    EXPECT_EQ(PropertyOf(root.body, "/vol/", "getcontentlength"), "5");
    uint64_t total = (uint64_t(8) << 30) + (64 << 20), free = (uint64_t(1) << 30) + (16 << 20);
    EXPECT_EQ(PropertyOf(root.body, "/vol/", "quota"), std::to_string(total / 512));
    EXPECT_EQ(PropertyOf(root.body, "/vol/", "quotaused"), std::to_string((total - free) / 512));
    auto modified = PropertyOf(root.body, "/vol/", "getlastmodified");
    ASSERT_TRUE(modified);
    bool recent = false;
    auto now = std::chrono::system_clock::now();
    for (int s = -5; s <= 1; ++s)
        recent = recent || *modified == platform::FormatHTTPDate(now + std::chrono::seconds(s));
    EXPECT_TRUE(recent) << *modified << ": the root is always new";

    Response missing = d.ask(Propfind("/vol/Nothing", "0", "<D:resourcetype/>"));
    EXPECT_EQ(missing.status(), 404);
}

TEST(WinceOverHttp, GetFilesFoldersHeldAndMissing)
{
    ServedDevice d;
    d.put("Docs/page.txt", "device text");
    d.mkdir("Docs/Sub");
    d.put("held.txt", "in use");
    timespec times[2] = {{1417392000, 0}, {1417392000, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, d.fs("Docs/page.txt").c_str(), times, 0), 0);

    Response file = d.ask(Request("GET", "/vol/Docs/page.txt"));
    EXPECT_EQ(file.status(), 200);
    EXPECT_EQ(file.header("Last-Modified"), "Mon, 01 Dec 2014 00:00:00 GMT");
    EXPECT_EQ(file.header("Content-type"), "text/html");
    EXPECT_EQ(file.header("Content-length"), "11");
    EXPECT_EQ(file.body, "device text");

    Response folder = d.ask(Request("GET", "/vol/Docs/Sub/"));
    EXPECT_EQ(folder.status(), 200);
    EXPECT_EQ(folder.header("Content-length"), "0");
    EXPECT_EQ(folder.body, "");

    HeldFile held(d.fs("held.txt"));
    ASSERT_TRUE(held.held());
    Response busy = d.ask(Request("GET", "/vol/held.txt"));
    EXPECT_EQ(busy.status(), 403);
    EXPECT_NE(busy.body.find("The requested URL /vol/held.txt was busy."), std::string::npos) << busy.body;

    Response missing = d.ask(Request("GET", "/vol/Docs/none.txt"));
    EXPECT_EQ(missing.status(), 404);
    EXPECT_NE(missing.body.find("The requested URL /vol/Docs/none.txt was not found on this server."),
              std::string::npos);
    EXPECT_EQ(d.ask(Request("GET", "/vol")).status(), 404);
}

TEST(WinceOverHttp, PutInChunksShortBodiesAndEmptyBodies)
{
    ServedDevice d;
    std::string body = Pattern(200000);
    std::string head = "PUT /vol/big.bin HTTP/1.1\r\nContent-Length: 200000\r\n\r\n";
    EXPECT_EQ(ParseResponse(ExchangeCut(d.server.port(), head, body)).status(), 201);
    EXPECT_EQ(ReadFile(d.fs("big.bin")), body);

    // The client stops after 150,000 bytes: two whole chunks reached the device.
    EXPECT_EQ(ParseResponse(ExchangeCut(d.server.port(), head, body.substr(0, 150000))).status(), 424);
    EXPECT_EQ(ReadFile(d.fs("big.bin")), body.substr(0, 131072));

    EXPECT_EQ(d.ask(Request("PUT", "/vol/big.bin", "Content-Length: 0\r\n")).status(), 201);
    EXPECT_EQ(ReadFile(d.fs("big.bin")), "");
    EXPECT_EQ(d.ask(Request("PUT", "/vol/new.txt")).status(), 201) << "no Content-Length: an empty file";
    EXPECT_TRUE(PathExists(d.fs("new.txt")));

    EXPECT_EQ(ParseResponse(ExchangeCut(d.server.port(), "PUT /vol/a/._meta HTTP/1.1\r\nContent-Length: 4\r\n\r\n",
                                        "meta"))
                  .status(),
              201);
    EXPECT_EQ(ReadFile(d.mirror("a/._meta")), "meta");
    EXPECT_FALSE(PathExists(d.fs("a")));
}

TEST(WinceOverHttp, DeleteMakeFolderAndMove)
{
    ServedDevice d;
    d.put("Full/inside.txt", "i");
    d.put("a.txt", "a");
    d.putMirror("._x", "meta");

    EXPECT_EQ(d.ask(Request("DELETE", "/vol/Full/")).status(), 422);
    EXPECT_TRUE(PathExists(d.fs("Full/inside.txt")));
    EXPECT_EQ(d.ask(Request("MKCOL", "/vol/Full/")).status(), 405);
    EXPECT_EQ(d.ask(Request("MKCOL", "/vol/New%20Folder/")).status(), 201);
    EXPECT_TRUE(testsupport::IsDirectory(d.fs("New Folder")));

    EXPECT_EQ(d.ask(Request("MOVE", "/vol/a.txt", "Destination: http://127.0.0.1/vol/Full/b%20c.txt\r\n")).status(), 201);
    EXPECT_EQ(ReadFile(d.fs("Full/b c.txt")), "a");
    EXPECT_EQ(d.ask(Request("MOVE", "/vol/Full/b%20c.txt")).status(), 412) << "no destination";
    EXPECT_EQ(d.ask(Request("MOVE", "/vol/Full/b%20c.txt", "Destination: nowhere\r\n")).status(), 412);

    // Into the mirror and within it: a metafile source stays in the mirror, and
    // what it becomes is listed with the folder.
    EXPECT_EQ(d.ask(Request("MOVE", "/vol/._x", "Destination: http://h/vol/Full/plain\r\n")).status(), 201);
    EXPECT_EQ(ReadFile(d.mirror("Full/plain")), "meta");
    EXPECT_FALSE(PathExists(d.fs("Full/plain")));
    Response listing = d.ask(Propfind("/vol/Full/", "1", "<D:resourcetype/>"));
    EXPECT_EQ(Hrefs(listing.body),
              (std::vector<std::string>{"/vol/Full/", "/vol/Full/b%20c.txt", "/vol/Full/inside.txt", "/vol/Full/plain"}));
    EXPECT_EQ(d.ask(Request("DELETE", "/vol/Full/inside.txt")).status(), 204);
    EXPECT_FALSE(PathExists(d.fs("Full/inside.txt")));
}

TEST(WinceOverHttp, NothingReachesOutsideTheDevice)
{
    ServedDevice d;
    testsupport::WriteFile(d.deviceDir + "/secret", "TOP SECRET");
    d.put("in.txt", "inside");
    for (const char* uri : {"/vol/../secret", "/vol/..%5Csecret", "/vol/%2e%2e/secret", "/vol/%2E%2E%5Csecret",
                            "/vol/in.txt%00/../../secret", "/vol/..%2Fsecret", "/vol/fs/..%5C..%5Csecret"}) {
        Response get = d.ask(Request("GET", uri));
        EXPECT_EQ(get.body.find("TOP SECRET"), std::string::npos) << uri;
        EXPECT_EQ(get.status(), 404) << uri;
        EXPECT_NE(d.ask(Request("DELETE", uri)).status(), 204) << uri;
        EXPECT_EQ(d.ask(Request("PUT", uri, "Content-Length: 3\r\n") + "bad").status(), 424) << uri;
        EXPECT_EQ(d.ask(Request("MOVE", "/vol/in.txt", std::string("Destination: http://h") + uri + "\r\n")).status(), 412)
            << uri;
    }
    EXPECT_EQ(ReadFile(d.deviceDir + "/secret"), "TOP SECRET");
    EXPECT_EQ(ReadFile(d.fs("in.txt")), "inside");
}

// The real daemon: the store it makes for itself, over PAVRIX_DEVICE.
class WinceDaemon : public testing::Test {
protected:
    testsupport::TempDir home;
    testsupport::TempDir device;
    std::string trace = home / "trace.txt";

    std::map<std::string, std::optional<std::string>> env()
    {
        return {{"PAVRIX_DEVICE", device.path()},
                {"PAVRIX_DEVICE_TRACE", trace},
                {"PAVRIX_LOG_DEBUG", std::nullopt},
                {"DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/bus"},
                {"XDG_RUNTIME_DIR", std::nullopt}};
    }
    void SetUp() override
    {
        testsupport::MakeDirs(device / "fs/Docs");
        testsupport::WriteFile(device / "fs/Docs/a.txt", "first");
        testsupport::WriteFile(device / "fs/b.txt", "bee");
    }
};

TEST_F(WinceDaemon, TwoReadsWithinTenSecondsCostOneDeviceRead)
{
    testsupport::Daemon daemon(home.path(), env());
    Response first = ParseResponse(daemon.request(Request("GET", "/vol/Docs/a.txt")));
    EXPECT_EQ(first.body, "first");
    // Changed on the device; the cached contents are still served.
    testsupport::WriteFile(device / "fs/Docs/a.txt", "second");
    Response second = ParseResponse(daemon.request(Request("GET", "/vol/Docs/a.txt")));
    EXPECT_EQ(second.body, "first");
    EXPECT_EQ(CountLines(ReadFile(trace), "CeReadFile\n"), 1u) << ReadFile(trace);
    EXPECT_EQ(CountLines(ReadFile(trace), "CeCreateFile\t\\Docs\\a.txt\n"), 1u);

    // Another file in between empties the cache.
    EXPECT_EQ(ParseResponse(daemon.request(Request("GET", "/vol/b.txt"))).body, "bee");
    EXPECT_EQ(ParseResponse(daemon.request(Request("GET", "/vol/Docs/a.txt"))).body, "second");
    EXPECT_EQ(CountLines(ReadFile(trace), "CeReadFile\n"), 3u);
}

TEST_F(WinceDaemon, MetafilesLiveInTheUsersCachesAndAHangUpEmptiesTheTree)
{
    testsupport::Daemon daemon(home.path(), env());
    std::string mirror = home / "Library/Caches/pxwm_mirroredfs";
    Response put = ParseResponse(daemon.request(Request("PUT", "/vol/Docs/._a.txt", "Content-Length: 5\r\n") + "fork!"));
    EXPECT_EQ(put.status(), 201);
    EXPECT_EQ(ReadFile(mirror + "/Docs/._a.txt"), "fork!");
    EXPECT_FALSE(PathExists(device / "fs/Docs/._a.txt"));

    Response before = ParseResponse(daemon.request(Propfind("/vol/Docs/", "1", "<D:resourcetype/>")));
    EXPECT_EQ(Hrefs(before.body), (std::vector<std::string>{"/vol/Docs/", "/vol/Docs/a.txt", "/vol/Docs/._a.txt"}));

    daemon.process().signal(SIGHUP);
    ASSERT_TRUE(testsupport::WaitFor([&] { return !PathExists(mirror); }));
    std::string traced = ReadFile(trace);

    Response after = ParseResponse(daemon.request(Propfind("/vol/Docs/", "1", "<D:resourcetype/>")));
    // The empty store names nothing of the device (only its own placeholder member).
    EXPECT_EQ(after.status(), 207);
    EXPECT_EQ(Hrefs(after.body), (std::vector<std::string>{"/vol/Docs/", "/vol/Docs/subdir"}));
    Response get = ParseResponse(daemon.request(Request("GET", "/vol/Docs/a.txt")));
    EXPECT_EQ(get.body, "");
    EXPECT_EQ(ParseResponse(daemon.request(Request("PUT", "/vol/Docs/a.txt", "Content-Length: 1\r\n") + "x")).status(),
              424);
    EXPECT_EQ(ParseResponse(daemon.request(Request("DELETE", "/vol/Docs/a.txt"))).status(), 501);
    EXPECT_EQ(ReadFile(device / "fs/Docs/a.txt"), "first");
    EXPECT_EQ(ReadFile(trace), traced) << "the device is not asked any more";
    EXPECT_TRUE(daemon.process().running());
}

// The wire format end to end against build/bin/webdav, with no device attached:
// none of the answers checked here depends on the store.

#include "http/ServeOne.h"

#include <sys/socket.h>
#include <thread>

using namespace testsupport;
using httptest::AfterHead;

namespace {

struct WireTest : ::testing::Test {
    TempDir home;
    Daemon daemon{home.path(), NoBusEnv()};
};

const std::string kOptions = "Allow: GET, HEAD, POST, PUT, DELETE, CONNECT, OPTIONS, PATCH, PROPFIND, PROPPATCH, "
                             "MKCOL, COPY, MOVE, TRACE, LOCK, UNLOCK\r\nContent-Type: text/plain\r\nDAV: 2\r\n\r\n";

} // namespace

// The request line takes at most 1023 bytes; the rest of that line, here a Depth
// header, is read as the first header line.
TEST_F(WireTest, TargetEndsAtTheLineLimit)
{
    const std::string longPath = "/" + std::string(1013, 'a');
    Response r = ParseResponse(daemon.request("PROPFIND " + longPath + "Depth: 0\r\n\r\n"));
    EXPECT_EQ(r.statusLine, "HTTP/1.1 207 Multi-Status");
    EXPECT_NE(r.body.find("\t<D:href>" + longPath + "</D:href>\n"), std::string::npos) << r.body;
}

// Only the first request of a connection is answered; a client that leaves with its
// socket reset before reading, or is still sending a large body nobody reads, costs
// neither the next client nor its own answer, which is exact and dated now.
TEST_F(WireTest, OneAnswerPerConnectionWhateverTheClientDoes)
{
    EXPECT_EQ(AfterHead(daemon.request("UNLOCK /a HTTP/1.1\r\n\r\nOPTIONS /b HTTP/1.1\r\n\r\n"), "200 OK"), "\r\n");
    int rude = ConnectLoopback(daemon.port());
    SendAll(rude, "PROPFIND /vol/ HTTP/1.1\r\nDepth: 1\r\n\r\n");
    struct linger reset {1, 0};
    ::setsockopt(rude, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    ::close(rude);

    const size_t size = 8 * 1024 * 1024;
    int fd = ConnectLoopback(daemon.port());
    std::thread sender([&] {
        SendAll(fd, "OPTIONS /vol/big HTTP/1.1\r\nContent-Length: " + std::to_string(size) + "\r\n\r\n");
        SendAll(fd, std::string(size, 'x'));
        ::shutdown(fd, SHUT_WR);
    });
    time_t before = std::time(nullptr);
    std::string raw = ReadUntilClose(fd);
    sender.join();
    ::close(fd);
    EXPECT_EQ(AfterHead(raw, "200 OK"), kOptions);
    struct tm sent {};
    ASSERT_NE(strptime(ParseResponse(raw).header("Date").value_or("").c_str(), "%a, %d %b %Y %H:%M:%S GMT", &sent),
              nullptr);
    EXPECT_LE(std::abs(timegm(&sent) - before), 5) << "the date is now, in GMT";
}

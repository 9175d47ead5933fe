// The wire format end to end against build/bin/webdav. The answers checked here
// do not depend on the store, except where the daemon has been hung up first: it
// then serves every new connection from a fresh, empty store.

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <regex>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace testsupport;

namespace {

const std::string kDate = "(Mon|Tue|Wed|Thu|Fri|Sat|Sun), [0-9]{2} "
                          "(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [0-9]{4} [0-9]{2}:[0-9]{2}:[0-9]{2} GMT";

std::map<std::string, std::optional<std::string>> NoDevice()
{
    return {{"DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/bus"},
            {"PAVRIX_DEVICE", std::nullopt},
            {"PAVRIX_LOG_DEBUG", std::nullopt}};
}

struct WireTest : ::testing::Test {
    TempDir home;
    Daemon daemon{home.path(), NoDevice()};
};

struct HungUpWireTest : ::testing::Test {
    TempDir home;
    Daemon daemon{home.path(), [] {
                      auto env = NoDevice();
                      env["PAVRIX_LOG_DEBUG"] = "1"; // to see the hang-up arrive
                      return env;
                  }()};
    void SetUp() override
    {
        daemon.process().signal(SIGHUP);
        ASSERT_TRUE(WaitFor([&] { return daemon.stderrText().find("recieved SIGHUP signal") != std::string::npos; }));
    }
};

// The whole answer as a regex: status line, the three fixed headers, then `rest`.
std::regex Answer(const std::string& status, const std::string& rest)
{
    return std::regex("HTTP/1\\.1 " + status + "\r\nServer: Pavrix/0\\.9/2\\.2\r\nConnection: Close\r\nDate: " + kDate +
                      "\r\n" + rest);
}

const std::string kUnsupported = "501 Unsupported method";

} // namespace

TEST_F(WireTest, OptionsAnswerIsExactAndDated)
{
    auto before = std::chrono::system_clock::now();
    std::string raw = daemon.request("OPTIONS /anything HTTP/1.1\r\nHost: localhost\r\n\r\n");
    EXPECT_TRUE(std::regex_match(raw, Answer("200 OK",
                                             "Allow: GET, HEAD, POST, PUT, DELETE, CONNECT, OPTIONS, PATCH, PROPFIND, "
                                             "PROPPATCH, MKCOL, COPY, MOVE, TRACE, LOCK, UNLOCK\r\n"
                                             "Content-Type: text/plain\r\nDAV: 2\r\n\r\n")))
        << raw;
    // The date is now, in GMT.
    auto date = ParseResponse(raw).header("Date");
    ASSERT_TRUE(date);
    struct tm fields {};
    ASSERT_NE(strptime(date->c_str(), "%a, %d %b %Y %H:%M:%S GMT", &fields), nullptr);
    auto sent = std::chrono::system_clock::from_time_t(timegm(&fields));
    EXPECT_LE(std::chrono::abs(sent - before), std::chrono::seconds(5));
}

TEST_F(WireTest, MethodsWithoutHandlerGet501WithoutBody)
{
    const std::vector<std::string> requestLines{
        "HEAD / HTTP/1.1",
        "POST / HTTP/1.1",
        "COPY /a HTTP/1.1",
        "PROPPATCH /a HTTP/1.1",
        "get / HTTP/1.1",
        "Options / HTTP/1.1",
        "",
        "   ",
        "\tGET / HTTP/1.1",
        std::string(59, 'X') + " / HTTP/1.1",  // the longest token that fits the name
        std::string(60, 'G') + " / HTTP/1.1",  // one byte too long for it
        "OPTIONS" + std::string(200, 'S') + " / HTTP/1.1",
    };
    for (const auto& line : requestLines) {
        SCOPED_TRACE(line);
        std::string raw = daemon.request(line + "\r\nContent-Length: 4\r\n\r\nbody");
        EXPECT_TRUE(std::regex_match(raw, Answer(kUnsupported, "\r\n"))) << raw;
    }
}

TEST_F(HungUpWireTest, StatusOnlyAnswersOfTheEmptyStore)
{
    const std::vector<std::pair<std::string, std::string>> cases{
        {"PUT /vol/a.txt HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc", "424 unknown"},
        {"PUT /vol/a.txt HTTP/1.1\r\n\r\n", "424 unknown"},
        {"DELETE /vol/a.txt HTTP/1.1\r\n\r\n", "501 Not implemented"},
        {"MKCOL /vol/d HTTP/1.1\r\n\r\n", "501 Not implemented"},
        {"MOVE /vol/a HTTP/1.1\r\nDestination: http://localhost/vol/b\r\n\r\n", "501 Not implemented"},
        {"MOVE /vol/a HTTP/1.1\r\n\r\n", "501 Not implemented"},
        {"UNLOCK /vol/a HTTP/1.1\r\nLock-Token: <x>\r\n\r\n", "200 OK"},
    };
    for (const auto& [request, status] : cases) {
        SCOPED_TRACE(request);
        std::string raw = daemon.request(request);
        EXPECT_TRUE(std::regex_match(raw, Answer(status, "\r\n"))) << raw;
    }
}

TEST_F(HungUpWireTest, GetOfTheEmptyStoreIsAnEmptyDatedDocument)
{
    std::string raw = daemon.request("GET /vol/file.txt HTTP/1.1\r\n\r\n");
    EXPECT_TRUE(std::regex_match(raw, Answer("200 OK", "Last-Modified: " + kDate +
                                                           "\r\nContent-type: application/octet-stream\r\n"
                                                           "Content-length: 0\r\n\r\n")))
        << raw;
}

TEST_F(WireTest, TargetLosesItsQueryButNotItsEscapes)
{
    Response r = ParseResponse(daemon.request("PROPFIND /a/b%20c?x=1?y HTTP/1.1\r\nDepth: 0\r\n\r\n"));
    EXPECT_EQ(r.statusLine, "HTTP/1.1 207 Multi-Status");
    EXPECT_NE(r.body.find("\t<D:href>/a/b%20c</D:href>\n"), std::string::npos) << r.body;
}

TEST_F(WireTest, OverlongRequestLineContinuesAsTheFirstHeaderLine)
{
    // The request line takes 1023 bytes; the rest of that line, here a Depth
    // header, is read as the first header line.
    std::string line = "PROPFIND /" + std::string(1013, 'a');
    ASSERT_EQ(line.size(), 1023u);
    Response r = ParseResponse(daemon.request(line + "Depth: 0\r\n\r\n"));
    EXPECT_EQ(r.statusLine, "HTTP/1.1 207 Multi-Status");
    EXPECT_NE(r.body.find("<D:href>/" + std::string(1013, 'a') + "</D:href>"), std::string::npos) << r.body;

    // Split inside the method token: the first piece is the whole request line.
    std::string raw = daemon.request(std::string(1500, 'P') + " / HTTP/1.1\r\n\r\n");
    EXPECT_TRUE(std::regex_match(raw, Answer(kUnsupported, "\r\n"))) << raw;
}

TEST_F(WireTest, SecondPipelinedRequestIsNeverAnswered)
{
    std::string raw = daemon.request("UNLOCK /a HTTP/1.1\r\n\r\nOPTIONS /b HTTP/1.1\r\n\r\n");
    EXPECT_TRUE(std::regex_match(raw, Answer("200 OK", "\r\n"))) << raw;
    // The daemon still serves the next connection.
    EXPECT_EQ(ParseResponse(daemon.request("OPTIONS / HTTP/1.1\r\n\r\n")).status(), 200);
}

TEST_F(WireTest, VanishingClientsDoNotStopTheNextOne)
{
    // One that connects and leaves without a word, one that sends a request and
    // leaves before reading (its socket reset), one that announces a body and
    // leaves halfway.
    int silent = ConnectLoopback(daemon.port());
    ::close(silent);

    int rude = ConnectLoopback(daemon.port());
    SendAll(rude, "PROPFIND /vol/ HTTP/1.1\r\nDepth: 1\r\n\r\n");
    struct linger reset {1, 0};
    ::setsockopt(rude, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    ::close(rude);

    int halfway = ConnectLoopback(daemon.port());
    SendAll(halfway, "LOCK /vol/a HTTP/1.1\r\nContent-Length: 100\r\n\r\n<D:lockinfo");
    ::close(halfway);

    EXPECT_EQ(ParseResponse(daemon.request("OPTIONS / HTTP/1.1\r\n\r\n")).status(), 200);
    EXPECT_TRUE(daemon.process().running());
}

TEST_F(WireTest, LargeUnreadBodyDoesNotCostTheAnswer)
{
    // The answer is complete before the body has been sent; the daemon must not
    // reset the connection while the client is still sending.
    const size_t size = 8 * 1024 * 1024;
    for (const std::string request : {"OPTIONS /vol/big HTTP/1.1\r\n", "FETCH /vol/big HTTP/1.1\r\n"}) {
        SCOPED_TRACE(request);
        int fd = ConnectLoopback(daemon.port());
        ASSERT_GE(fd, 0);
        std::thread sender([&] {
            SendAll(fd, request + "Content-Length: " + std::to_string(size) + "\r\n\r\n");
            SendAll(fd, std::string(size, 'x'));
            ::shutdown(fd, SHUT_WR);
        });
        std::string raw = ReadUntilClose(fd);
        sender.join();
        ::close(fd);
        if (request[0] == 'O')
            EXPECT_TRUE(std::regex_match(raw, Answer("200 OK", "Allow: [^\r]*\r\nContent-Type: text/plain\r\nDAV: 2\r\n\r\n")))
                << raw.substr(0, 300);
        else
            EXPECT_TRUE(std::regex_match(raw, Answer(kUnsupported, "\r\n"))) << raw.substr(0, 300);
    }
}

TEST_F(WireTest, StalledClientIsGivenUpAfterItsIdleTime)
{
    int stalled = ConnectLoopback(daemon.port());
    SendAll(stalled, "OPTIONS / HTTP/1.1\r\nHost: x\r\n"); // never finishes its headers
    std::this_thread::sleep_for(std::chrono::milliseconds(200));

    auto start = std::chrono::steady_clock::now();
    int next = ConnectLoopback(daemon.port());
    SendAll(next, "UNLOCK / HTTP/1.1\r\n\r\n");
    std::string raw = ReadUntilClose(next, std::chrono::seconds(60));
    auto waited = std::chrono::steady_clock::now() - start;
    ::close(next);

    EXPECT_TRUE(std::regex_match(raw, Answer("200 OK", "\r\n"))) << raw;
    // The next client waited for the stalled one's idle time, not forever.
    EXPECT_GE(waited, std::chrono::seconds(25));
    EXPECT_LE(waited, std::chrono::seconds(45));
    // The stalled client got its (header-less) request answered when given up.
    std::string stalledAnswer = ReadUntilClose(stalled, std::chrono::seconds(5));
    ::close(stalled);
    EXPECT_EQ(ParseResponse(stalledAnswer).status(), 200);
}

// Clients that trickle, stall or stay silent, against a real
// listener in this process on a loopback port with limits of a fraction of a
// second: each is given up, the device is left as it was, and the client behind
// them is served.

#include "daemon/Application.h"
#include "daemon/Server.h"
#include "device/WinceDataSource.h"
#include "pavrixwm/EmulatedDevice.h"
#include "pavrixwm/Rapi.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <future>
#include <sys/socket.h>
#include <thread>
#include <tuple>
#include <unistd.h>

using namespace testsupport;
using namespace std::chrono_literals;

namespace {

// A client whose answer is read on a thread of its own, so that the daemon never
// waits on the test to take it; it hangs up once answered, as a real one would.
struct AnsweredClient {
    explicit AnsweredClient(int port) : fd(ConnectLoopback(port)) {}
    ~AnsweredClient()
    {
        if (answer.valid())
            answer.wait();
        ::close(fd);
    }
    bool answered() const { return answer.wait_for(0s) == std::future_status::ready; }

    const int fd;
    std::future<std::string> answer = std::async(std::launch::async, [this] {
        std::string answer = ReadUntilClose(fd, 30s);
        ::shutdown(fd, SHUT_RDWR);
        return answer;
    });
};

// A listener in this process with short limits, over a store on an emulated device
// folder as the daemon makes it, serving until the test ends.
struct ShortLimitsListener {
    explicit ShortLimitsListener(ConnectionLimits limits, size_t connections)
        : server(0, std::nullopt, store, mirror, limits)
    {
        device.put("My Documents/a", "A");
        device.put("My Documents/b.txt", "bee");
        server.Listen();
        port = server.boundPort();
        serving = std::thread([this, connections] { server.Serve(connections); });
    }
    ~ShortLimitsListener() { serving.join(); }

    TempDir home;
    DeviceFolder device;
    std::string mirror = MirrorDirectoryPath(home.path());
    Rapi session{EmulatedDevice::open(device.path())};
    std::shared_ptr<WinceDataSource> store = std::make_shared<WinceDataSource>(session, mirror);
    // No session bus: the listener's log lines go to standard error.
    int noBus = ::setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/bus", 1);
    Server server;
    int port = 0;
    std::thread serving;
};

Response Get(int port, std::chrono::milliseconds timeout)
{
    return ParseResponse(Exchange(port, "GET /vol/My%20Documents/b.txt HTTP/1.1\r\n\r\n", timeout));
}

TEST(SlowClients, AreGivenUpAndTheNextIsServed)
{
    ShortLimitsListener listener({.requestHead = 300ms, .stall = 300ms}, 3);
    const int port = listener.port;

    // A DELETE whose head arrives a byte at a time and never ends.
    const std::string head = "DELETE /vol/My%20Documents/a HTTP/1.1\r\nHost: x\r\nX-Pad: " + std::string(400, 'p');
    AnsweredClient slow(port);
    std::thread trickle([&] {
        for (size_t i = 0; i < head.size() && !slow.answered(); ++i) {
            if (::send(slow.fd, &head[i], 1, MSG_NOSIGNAL) != 1)
                break;
            std::this_thread::sleep_for(20ms);
        }
    });
    // One whose head stops before its end. (Clients that say nothing at all are
    // met below, by the hundred.)
    AnsweredClient stalled(port);
    SendAll(stalled.fd, "OPTIONS / HTTP/1.1\r\nHost: x\r\n");

    // Bounded well below the daemon's own 10 s head limit: a listener that did not
    // take the limits it was given fails here rather than passing slowly.
    Response answer = Get(port, 5s);
    EXPECT_EQ(answer.status(), 200);
    EXPECT_EQ(answer.body, "bee");

    // The unended DELETE is refused and deletes nothing; an OPTIONS, which changes
    // nothing, is answered from the lines that did arrive.
    trickle.join(); // it asks the answer whether it is in, so it must be done before the answer is taken
    EXPECT_EQ(ParseResponse(slow.answer.get()).status(), 400);
    EXPECT_EQ(ReadFile(listener.device.fs("My Documents/a")), "A");
    Response options = ParseResponse(stalled.answer.get());
    EXPECT_EQ(options.status(), 200);
    EXPECT_EQ(options.header("DAV"), "2");
}

// Heads past the line or byte limit are refused whatever the method, read no
// further (the sender is cut off, not read to its end) and change nothing; the
// daemon's memory is what fuzz_connection and the endless-head measurement show.
TEST(SlowClients, HeadsPastTheirLimitsAreRefusedAndReadNoFurther)
{
    const ConnectionLimits limits{.requestHead = 2s, .headLines = 20, .headBytes = 4096};
    const std::string deleteLine = "DELETE /vol/My%20Documents/a HTTP/1.1\r\n";
    std::string manyLines, manyBytes, longValue = "X-Folded: v\r\n";
    for (int i = 0; i < 21; ++i)
        manyLines += "X-" + std::to_string(i) + ": v\r\n";
    for (int i = 0; i < 5; ++i) {
        manyBytes += "X-" + std::to_string(i) + ": " + std::string(1000, 'v') + "\r\n";
        longValue += "\t" + std::string(1000, 'c') + "\r\n";
    }
    // what, the request head, status
    const std::vector<std::tuple<const char*, std::string, int>> cases{
        {"20 header lines are taken", deleteLine + manyLines.substr(0, manyLines.find("X-19")) + "\r\n", 204},
        {"21 header lines", deleteLine + manyLines + "\r\n", 431},
        {"over 4 KiB of headers", deleteLine + manyBytes + "\r\n", 431},
        {"over 4 KiB of continuation lines", deleteLine + longValue + "\r\n", 431},
        {"a read request too", "GET /vol/My%20Documents/b.txt HTTP/1.1\r\n" + manyLines + "\r\n", 431},
    };
    ShortLimitsListener listener(limits, cases.size() + 1);
    for (const auto& [what, head, status] : cases) {
        SCOPED_TRACE(what);
        // The refused DELETE leaves the file; the one taken removes it.
        if (!PathExists(listener.device.fs("My Documents/a")))
            WriteFile(listener.device.fs("My Documents/a"), "A");
        EXPECT_EQ(ParseResponse(Exchange(listener.port, head, 5s)).status(), status);
        EXPECT_EQ(PathExists(listener.device.fs("My Documents/a")), status != 204);
    }

    // A head that never ends is cut off at the limit, well before its own end
    // or the head deadline: the daemon stops reading and closes.
    int endless = ConnectLoopback(listener.port);
    auto started = std::chrono::steady_clock::now();
    std::future<std::string> answer = std::async(std::launch::async, [&] { return ReadUntilClose(endless, 5s); });
    SendAll(endless, "PUT /vol/._x HTTP/1.1\r\n");
    const std::string line = "X-Endless: " + std::string(500, 'e') + "\r\n";
    size_t sent = 0;
    while (answer.wait_for(0s) != std::future_status::ready && sent < (64u << 20) &&
           ::send(endless, line.data(), line.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(line.size()))
        sent += line.size();
    EXPECT_EQ(ParseResponse(answer.get()).status(), 431);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 2s) << "cut off by its size, not its deadline";
    ::close(endless);
    EXPECT_FALSE(PathExists(listener.home / "Library/Caches/pxwm_mirroredfs/._x"));
}

// Far more silent clients than the old backlog and linger could bear: each runs
// out side by side with the others and is closed without waiting on it, so the
// client behind all of them waits about one head limit, not one per client.
TEST(SlowClients, ManySilentClientsCostTheNextOneAboutTheHeadLimit)
{
    constexpr int kSilent = 150;
    ShortLimitsListener listener({.requestHead = 500ms}, kSilent + 1);
    std::vector<int> silent;
    for (int i = 0; i < kSilent; ++i)
        silent.push_back(ConnectLoopback(listener.port));
    auto started = std::chrono::steady_clock::now();
    // Lingering 2 s on each, or retrying connections the backlog dropped, would
    // take minutes; the bound leaves room for a loaded machine.
    Response answer = Get(listener.port, 8s);
    EXPECT_EQ(answer.status(), 200);
    EXPECT_EQ(answer.body, "bee");
    EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
    for (int fd : silent)
        ::close(fd);
}

} // namespace

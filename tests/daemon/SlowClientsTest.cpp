// Clients that trickle, stall or stay silent, against a real listener in this
// process on a loopback port with limits of a fraction of a second: each is given
// up, the device is left as it was, and the client behind them is served.

#include "support/TestSupport.h"

#include "daemon/Application.h"
#include "daemon/Server.h"

#include <gtest/gtest.h>

#include <future>
#include <sys/socket.h>
#include <thread>
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

TEST(SlowClients, AreGivenUpAndTheNextIsServed)
{
    TempDir home;
    DeviceFolder device;
    device.put("My Documents/a", "A");
    device.put("My Documents/b.txt", "bee");
    // The listener in this process reads HOME and the device from the environment.
    ScopedEnv homeEnv("HOME", home.path()), deviceEnv("PAVRIX_DEVICE", device.path());
    ScopedEnv busEnv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/bus");

    ConnectionLimits limits;
    limits.requestHead = 300ms;
    limits.stall = 300ms;
    Server server(0, std::nullopt, ConnectionDataSource, limits);
    server.Listen();
    const int port = server.boundPort();
    std::thread serving([&] { server.Serve(6); });

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
    // Three that connect and say nothing, and one whose head stops before its end.
    std::vector<std::unique_ptr<AnsweredClient>> silent;
    for (int i = 0; i < 3; ++i)
        silent.push_back(std::make_unique<AnsweredClient>(port));
    AnsweredClient stalled(port);
    SendAll(stalled.fd, "OPTIONS / HTTP/1.1\r\nHost: x\r\n");

    int next = ConnectLoopback(port);
    SendAll(next, "GET /vol/My%20Documents/b.txt HTTP/1.1\r\n\r\n");
    // Bounded well below the daemon's own 10 s head limit: a listener that did not
    // take the limits it was given fails here rather than passing slowly.
    Response answer = ParseResponse(ReadUntilClose(next, 5s));
    ::close(next);
    EXPECT_EQ(answer.status(), 200);
    EXPECT_EQ(answer.body, "bee");

    // The unended DELETE is refused and deletes nothing; an OPTIONS, which changes
    // nothing, is answered from the lines that did arrive.
    trickle.join(); // it asks the answer whether it is in, so it must be done before the answer is taken
    EXPECT_EQ(ParseResponse(slow.answer.get()).status(), 400);
    EXPECT_EQ(ReadFile(device.fs("My Documents/a")), "A");
    Response options = ParseResponse(stalled.answer.get());
    EXPECT_EQ(options.status(), 200);
    EXPECT_EQ(options.header("DAV"), "2");
    for (auto& client : silent)
        client->answer.wait(); // ended by the daemon, as the next client's answer already shows
    serving.join();
}

} // namespace

// An upload to a device file that the pace rule ends, against a real listener in
// this process with limits of a fraction of a second: the old file stays as it
// was and nothing of the cut body stays on the device.

#include "support/TestSupport.h"

#include "InProcessStore.h"

#include "daemon/Server.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <thread>
#include <unistd.h>

using namespace testsupport;
using namespace std::chrono_literals;

TEST(SlowClients, AnUploadEndedByThePaceRuleLeavesTheOldFile)
{
    TempDir home;
    DeviceFolder device;
    device.put("My Documents/a.txt", "old");
    InProcessStore daemon(home.path(), device.path());
    ScopedEnv busEnv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/bus");

    ConnectionLimits limits;
    limits.stall = 300ms;
    limits.rateWindow = 300ms;
    limits.minimumBytesPerSecond = 1 << 20;
    Server server(0, std::nullopt, daemon.store, daemon.mirror, limits);
    server.Listen();
    std::thread serving([&] { server.Serve(1); });

    // Several chunks arrive (and reach the device), then the client goes quiet.
    int fd = ConnectLoopback(server.boundPort());
    SendAll(fd, "PUT /vol/My%20Documents/a.txt HTTP/1.1\r\nContent-Length: 1000000\r\n\r\n" + std::string(300000, 'n'));
    std::string answer = ReadUntilClose(fd, 10s);
    ::close(fd);
    serving.join();

    EXPECT_EQ(answer.find("HTTP/1.1 2"), std::string::npos) << answer;
    EXPECT_EQ(ReadFile(device.fs("My Documents/a.txt")), "old");
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(device.fs("My Documents")))
        names.push_back(entry.path().filename().string());
    EXPECT_EQ(names, std::vector<std::string>{"a.txt"}) << "no scratch file left";
}

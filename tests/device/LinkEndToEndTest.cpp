// The daemon over the device link, with a simulated handheld that is plugged in
// late, pulled out in the middle of a download and of an upload, and plugged in
// again: no restart, no 2xx for a cut upload, and the next request sees it.

#include "WinceTestSupport.h"

#include <signal.h>
#include <thread>

using namespace wincetest;
using namespace std::chrono_literals;
using testsupport::ConnectLoopback;
using testsupport::ReadUntilClose;
using testsupport::SendAll;
using testsupport::SimulatedHandheld;

namespace {

class LinkDaemon : public testing::Test {
protected:
    testsupport::TempDir home;
    testsupport::DeviceFolder deviceDir;
    std::string trace = home / "trace.txt";
    // A link of 256 KiB/s, so that a transfer of a few 64 KiB chunks takes seconds.
    SimulatedHandheld handheld{deviceDir.path(), "rndis", {"--bytes-per-second", "262144"}};
    std::unique_ptr<testsupport::Daemon> daemon;

    void startDaemon()
    {
        auto env = handheld.env(testsupport::NoBusEnv());
        env["PAVRIX_DEVICE_TRACE"] = trace;
        daemon = std::make_unique<testsupport::Daemon>(home.path(), env);
    }
    Response ask(const std::string& raw) const { return ParseResponse(daemon->request(raw)); }
};

} // namespace

TEST_F(LinkDaemon, PluggedInLatePulledOutMidTransferAndBack)
{
    deviceDir.put("My Documents/a.txt", "alpha");
    std::string big = testsupport::RandomBytes(1 << 20, 7);
    deviceDir.put("My Documents/big.bin", big);
    handheld.unplug();
    startDaemon();

    // No handheld yet: as with no device.
    EXPECT_EQ(ask(Request("GET", "/Device/My%20Documents/a.txt")).status(), 404);

    handheld.start();
    ASSERT_TRUE(handheld.waitConnected(1)) << handheld.stderrText();
    auto got = ask(Request("GET", "/Device/My%20Documents/a.txt"));
    EXPECT_EQ(got.status(), 200);
    EXPECT_EQ(got.body, "alpha");

    // Pulled out a second into a 1 MiB download (four seconds at this speed):
    // the answer ends short, never padded or passed off as whole.
    int fd = ConnectLoopback(daemon->port());
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
    fd = ConnectLoopback(daemon->port());
    std::string upload = testsupport::RandomBytes(1 << 20, 8);
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
    got = ask(Request("GET", "/Device/My%20Documents/a.txt"));
    EXPECT_EQ(got.status(), 200);
    EXPECT_EQ(got.body, "alpha");
    EXPECT_TRUE(daemon->process().running());
}

// The password handed over at start (as webdav-start --password leaves it) unlocks
// a locked handheld. (A wrong one leaves the link locked, LinkLife's test, which
// the daemon answers as no device, as above.)
TEST(LinkPassword, TheHandedOverPasswordUnlocksTheHandheld)
{
    testsupport::TempDir home;
    testsupport::DeviceFolder deviceDir;
    deviceDir.put("a.txt", "alpha");
    SimulatedHandheld handheld(deviceDir.path(), "rndis", {"--password", "s3cret"});
    WriteFile(home / "Library/Caches/Pavrix_webdavpasswdtmp.plist",
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
              "<key>Password</key><data>czNjcmV0</data></dict></plist>\n");
    testsupport::Daemon daemon(home.path(), handheld.env(testsupport::NoBusEnv()));
    ASSERT_TRUE(handheld.waitConnected()) << handheld.stderrText();
    Response got;
    // The handheld's answer to the password follows its connection closely.
    testsupport::WaitFor([&] {
        got = ParseResponse(daemon.request(Request("GET", "/Device/a.txt")));
        return got.status() == 200;
    }, 3s);
    EXPECT_EQ(got.status(), 200);
    EXPECT_EQ(got.body, "alpha");
}

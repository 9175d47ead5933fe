// A handheld that comes and goes, stalls, sends nonsense, or is locked: the link
// device answers as no device while none is usable, fails a cut call cleanly,
// and takes the handheld again when it is back, without a restart.

#include "LinkFixture.h"

#include <thread>
#include <unistd.h>

using namespace devicetest;
using namespace std::chrono_literals;
using testsupport::SimulatedHandheld;
using testsupport::WaitFor;

TEST(LinkLife, PluggedInLateUnpluggedAndBackWithoutARestart)
{
    testsupport::DeviceFolder folder;
    folder.put("a.txt", "alpha");
    SimulatedHandheld handheld(folder.path(), "rndis");
    handheld.unplug(); // not there when the desktop starts
    auto link = Manager(handheld);
    ASSERT_TRUE(link);
    LinkDevice device(link);
    EXPECT_EQ(ListRoot(device), ERROR_DEVICE_NOT_CONNECTED);
    HKEY key = 0;
    EXPECT_EQ(device.CeRegOpenKeyEx(HKEY_CURRENT_USER, "x", key), static_cast<LONG>(ERROR_DEVICE_NOT_CONNECTED));
    EXPECT_TRUE(device.description().empty());

    handheld.start();
    ASSERT_TRUE(Attached(*link)) << handheld.stderrText();
    EXPECT_EQ(ReadWhole(device, "\\a.txt"), "alpha");
    EXPECT_EQ(device.description()["DeviceName"], "Simulated");

    // Pulled out with a file open: the open handle dies with it.
    HANDLE open = device.CeCreateFile("\\a.txt", GENERIC_READ, 0, OPEN_EXISTING, 0);
    ASSERT_NE(open, INVALID_HANDLE_VALUE);
    handheld.unplug();
    ASSERT_TRUE(WaitFor([&] { return link->state() == LinkManager::State::Absent; }, 10s));
    uint8_t buffer[8];
    DWORD got = 99;
    EXPECT_FALSE(device.CeReadFile(open, buffer, sizeof buffer, got));
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(device.CeGetLastError(), ERROR_DEVICE_NOT_CONNECTED);

    folder.put("b.txt", "beta");
    handheld.start();
    ASSERT_TRUE(Attached(*link)) << handheld.stderrText();
    EXPECT_EQ(ReadWhole(device, "\\b.txt"), "beta");
    EXPECT_FALSE(device.CeCloseHandle(open)) << "a handle of the handheld's last visit";
    EXPECT_EQ(device.CeGetLastError(), ERROR_INVALID_HANDLE);
}

TEST(LinkLife, BrokenRepliesFailTheCallAndTheNextCallGetsAFreshChannel)
{
    // The fault the handheld makes in its second reply, and the call's last error.
    const std::pair<const char*, DWORD> cases[] = {
        {"drop", ERROR_DEVICE_NOT_CONNECTED}, {"truncate", ERROR_DEVICE_NOT_CONNECTED},
        {"wrong-length", ERROR_DEVICE_NOT_CONNECTED}, {"garbage", ERROR_GEN_FAILURE},
        {"silent", ERROR_DEVICE_NOT_CONNECTED}, // given up after the call timeout
    };
    for (const auto& [fault, error] : cases) {
        testsupport::DeviceFolder folder;
        folder.put("a.txt", "alpha");
        SimulatedHandheld handheld(folder.path(), "rndis", {"--fault", fault, "--fault-at", "2"});
        auto link = Manager(handheld);
        ASSERT_TRUE(link && Attached(*link)) << fault;
        LinkDevice device(link);
        EXPECT_EQ(ListRoot(device), 0u) << fault;
        EXPECT_EQ(ListRoot(device), error) << fault;
        EXPECT_EQ(ReadWhole(device, "\\a.txt"), "alpha") << fault;
    }
}

TEST(LinkLife, PasswordsAcceptedRefusedAndUnlockedOnTheHandheld)
{
    testsupport::DeviceFolder folder;
    folder.put("a.txt", "alpha");
    using State = LinkManager::State;
    const struct {
        const char* kind;
        std::vector<std::string> args;
        std::optional<std::string> password;
        State first; // until then the handheld is no device
        bool readable;
    } cases[] = {
        {"rndis", {"--password", "s3cret", "--key", "0x3c"}, "s3cret", State::Attached, true},
        {"rndis", {"--password", "s3cret"}, "wrong", State::Locked, false},
        {"rndis", {"--unlock-after", "1"}, std::nullopt, State::AwaitingUnlock, true},
        // The remote-call port of the older kind takes the password too.
        {"legacy", {"--password", "s3cret"}, "s3cret", State::Attached, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.kind) + " " + c.args.back());
        SimulatedHandheld handheld(folder.path(), c.kind, c.args);
        auto link = Manager(handheld, c.password);
        ASSERT_TRUE(link);
        ASSERT_TRUE(WaitFor([&] { return link->state() == c.first; }, 10s)) << handheld.stderrText();
        LinkDevice device(link);
        if (c.first != State::Attached) {
            EXPECT_EQ(ListRoot(device), ERROR_DEVICE_NOT_CONNECTED);
        }
        if (c.readable) {
            ASSERT_TRUE(Attached(*link));
            EXPECT_EQ(ReadWhole(device, "\\a.txt"), "alpha");
        }
    }
}

TEST(LinkLife, AnOlderHandheldThatMissesThreePingsIsGone)
{
    testsupport::DeviceFolder folder;
    SimulatedHandheld answering(folder.path(), "legacy");
    auto link = Manager(answering);
    ASSERT_TRUE(link && Attached(*link));
    EXPECT_EQ(link->deviceInfo()->dialect(), RapiDialect::Rapi1);
    std::this_thread::sleep_for(12s); // two pings answered
    EXPECT_EQ(link->state(), LinkManager::State::Attached);
    link.reset();

    SimulatedHandheld silent(folder.path(), "legacy", {"--no-pings"});
    link = Manager(silent);
    ASSERT_TRUE(link && Attached(*link));
    EXPECT_TRUE(WaitFor([&] { return link->state() == LinkManager::State::Absent; }, 25s));
}

// Where the desktop's ports are held by the privileged listener, the connections
// reach the manager handed over through the user's runtime folder.
TEST(LinkLife, ConnectionsHandedOverByThePrivilegedListener)
{
    testsupport::DeviceFolder folder;
    folder.put("a.txt", "alpha");
    testsupport::TempDir runtime;
    SimulatedHandheld handheld(folder.path(), "rndis");
    std::string ports = *handheld.env()["PAVRIX_LINK_PORTS"];
    testsupport::ChildProcess::Options options;
    options.stderrFile = runtime / "linkd.err";
    const std::vector<std::string> linkd{std::string(PAVRIX_BIN_DIR) + "/pavrix-linkd", "--address", "127.0.0.1",
                                         "--ports", ports, "--socket", runtime / "pavrix-link.sock"};
    testsupport::ChildProcess listener(linkd, options);
    ASSERT_TRUE(WaitFor([&] { return testsupport::PathExists(runtime / "pavrix-link.sock"); }, 5s))
        << testsupport::ReadFile(runtime / "linkd.err");

    auto link = Manager(handheld, std::nullopt, runtime.path()); // its own listening fails: the ports are taken
    ASSERT_TRUE(link);
    ASSERT_TRUE(Attached(*link)) << handheld.stderrText();
    LinkDevice device(link);
    EXPECT_EQ(ReadWhole(device, "\\a.txt"), "alpha");

    // The listener restarting does not lose the handheld's next visit.
    listener.stop();
    testsupport::ChildProcess again(linkd, options);
    handheld.unplug();
    ASSERT_TRUE(WaitFor([&] { return link->state() == LinkManager::State::Absent; }, 10s));
    handheld.start();
    ASSERT_TRUE(Attached(*link, 15s)) << handheld.stderrText();
    EXPECT_EQ(ReadWhole(device, "\\a.txt"), "alpha");
}

// The framework lists the attached handheld as the kind it says it is, so a
// smartphone on the link is told apart as the emulated one is.
TEST(LinkLife, TheAttachedHandheldIsListedAsItsKind)
{
    testsupport::DeviceFolder folder;
    testsupport::WriteFile(folder / "device.plist",
                           "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                           "<key>DeviceClass</key><string>SmartPhone</string></dict></plist>\n");
    SimulatedHandheld handheld(folder.path(), "rndis");
    auto link = Manager(handheld);
    ASSERT_TRUE(link && Attached(*link));
    Rapi session(std::make_shared<LinkDevice>(link));
    auto devices = session.availableDevices();
    ASSERT_TRUE(devices && devices->size() == 1);
    EXPECT_EQ(devices->front().at("DeviceClass"), "SmartPhone");
    EXPECT_EQ(LinkDevice(link).description().at("DeviceName"), "Simulated");
    handheld.unplug();
    ASSERT_TRUE(WaitFor([&] { return link->state() == LinkManager::State::Absent; }, 10s));
    EXPECT_FALSE(session.availableDevices()) << "no handheld, no device listed";
}

// Connections to the control port that are not a handheld's handshake (a channel
// that came too late, a stranger, a handshake cut short) leave the handheld that
// is attached alone. Then it falls silent with its connections open: the call in
// progress and the next one's channel request each give up after the call
// timeout, and then the handheld counts as gone, so later calls answer at once.
TEST(LinkLife, StrangersAreIgnoredAndAHandheldThatFallsSilentIsForgotten)
{
    testsupport::DeviceFolder folder;
    folder.put("a.txt", "alpha");
    SimulatedHandheld handheld(folder.path(), "rndis");
    auto link = Manager(handheld);
    ASSERT_TRUE(link && Attached(*link));
    std::string ports = *handheld.env()["PAVRIX_LINK_PORTS"];
    int control = std::stoi(ports.substr(0, ports.find(',')));
    for (std::string bytes : {std::string("\x05\x00\x01\x00", 4), std::string("\xff\xff\xff\xff", 4),
                              std::string("\x01\x02", 2), std::string()}) {
        int fd = testsupport::ConnectLoopback(control);
        testsupport::SendAll(fd, bytes);
        ::close(fd);
    }
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(link->state(), LinkManager::State::Attached);
    LinkDevice device(link);
    EXPECT_EQ(ReadWhole(device, "\\a.txt"), "alpha");

    handheld.freeze();
    EXPECT_EQ(ListRoot(device), ERROR_DEVICE_NOT_CONNECTED) << "the call in progress";
    EXPECT_EQ(ListRoot(device), ERROR_DEVICE_NOT_CONNECTED) << "no channel comes";
    EXPECT_TRUE(WaitFor([&] { return link->state() == LinkManager::State::Absent; }, 5s));
    handheld.unplug();
    handheld.start();
    ASSERT_TRUE(Attached(*link)) << handheld.stderrText();
    EXPECT_EQ(ReadWhole(device, "\\a.txt"), "alpha");
}

// The daemon's start-up and hang-up, end to end: a real build/bin/webdav with a
// HOME of its own, its hand-off files, its mirror folder and its listening socket;
// and before that, the options it reads from its environment once at start, and the
// device it chooses from them.

#include "daemon/AttachedDevice.h"
#include "daemon/DaemonOptions.h"
#include "pavrixwm/EmulatedDevice.h"
#include "pavrixwm/LinkDevice.h"
#include "platform/HomeFolder.h"
#include "platform/PlistObject.h"
#include "support/SimulatedHandheld.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <map>
#include <regex>
#include <sys/wait.h>
#include <tuple>
#include <unistd.h>

using namespace testsupport;
using platform::PlistObject;
using namespace std::chrono_literals;

namespace {

struct Home {
    TempDir dir;
    std::string caches() const { return dir / "Library/Caches"; }
    std::string portFile() const { return caches() + "/Pavrix_webdavtmp.plist"; }
    std::string passwordFile() const { return caches() + "/Pavrix_webdavpasswdtmp.plist"; }
    std::string addressFile() const { return caches() + "/Pavrix_webdavipaddresstmp.plist"; }
    std::string mirror() const { return caches() + "/pxwm_mirroredfs"; }
};

// The daemon listens before it announces its port, so the first try must be taken.
bool AcceptsOnLoopback(int port)
{
    int fd = ConnectLoopback(port);
    return fd >= 0 && ::close(fd) == 0;
}

using Variables = std::map<std::string, std::string>;

DaemonOptions From(const Variables& variables)
{
    return DaemonOptions::from([&](const char* name) -> std::optional<std::string> {
        auto found = variables.find(name);
        return found == variables.end() ? std::nullopt : std::optional(found->second);
    });
}

} // namespace

// Then SIGHUP: the log line each time, the mirror folder gone, and a daemon that
// keeps accepting.
TEST(Startup, FirstStartWritesExactlyPortAndPidAndAHangUpRemovesTheMirror)
{
    Home home; // no Library/Caches yet: the daemon must make it
    // Arguments are ignored, whatever they look like.
    Daemon daemon(home.dir.path(), NoBusEnv(true), {"--port", "80", "-d", "", "/etc/passwd", "%s%n"});

    auto dict = PlistObject::loadDictionary(home.portFile());
    ASSERT_TRUE(dict);
    EXPECT_EQ(dict->keys().size(), 2u);
    EXPECT_EQ(dict->getInteger("WebdavPort"), daemon.port());
    EXPECT_NE(daemon.port(), 80);
    EXPECT_EQ(dict->getInteger("WebdavPID"), daemon.pid());

    // The time stamp is "%1m/%e/%y %H:%M:%S", then two blanks, the name, a colon and
    // two blanks.
    std::regex line("(^|\n)[0-9]{1,2}/[0-9]{1,2}/[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}  webdav:  listening on " +
                    std::to_string(daemon.port()) + "\n");
    EXPECT_TRUE(std::regex_search(daemon.stderrText(), line)) << daemon.stderrText();
    EXPECT_TRUE(AcceptsOnLoopback(daemon.port()));

    // The mirror folder is there, empty.
    ASSERT_TRUE(IsDirectory(home.mirror()));

    WriteFile(home.mirror() + "/._note", "metadata");
    auto logged = [&] { return CountOf(daemon.stderrText(), "recieved SIGHUP signal"); };
    for (size_t hangUps = 1; hangUps <= 2; ++hangUps) { // the second finds no mirror folder
        daemon.process().signal(SIGHUP);
        EXPECT_TRUE(WaitFor([&] { return logged() == hangUps; })) << daemon.stderrText();
        EXPECT_TRUE(WaitFor([&] { return !PathExists(home.mirror()); }));
        // The blocked accept was interrupted; the daemon accepts again.
        EXPECT_EQ(ParseResponse(daemon.request("OPTIONS /vol/ HTTP/1.1\r\n\r\n")).status(), 200);
    }
}

// Hand-off files, usable or not, end to end: the daemon starts, serves, and says
// nothing but its listening line; a port file it can read keeps its other keys.
// Which files are taken over (and so deleted) is left to the fuzzed hand-off files.
TEST(Startup, HandOffFilesAreTakenOverAndBadOnesNeitherStopNorUpsetTheDaemon)
{
    const std::string plist = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>";
    // the password, address and port files, and whether the first two remain
    const std::tuple<std::string, std::string, std::string, bool> cases[] = {
        {plist + "<key>Password</key><data>AQID</data></dict></plist>\n",
         plist + "<key>IpAddr</key><string>169.254.2.1</string></dict></plist>\n",
         plist + "<key>WebdavPort</key><integer>1</integer><key>WebdavPID</key><integer>2</integer>"
                 "<key>LauncherSetting</key><string>kept</string></dict></plist>\n", false},
        {"<plist><dict><key>Pass", "\x01\x02garbage", "bplist00\xff", true},
    };
    for (const auto& [password, address, port, remain] : cases) {
        SCOPED_TRACE(password);
        Home home;
        WriteFile(home.passwordFile(), password);
        WriteFile(home.addressFile(), address);
        WriteFile(home.portFile(), port);
        Daemon daemon(home.dir.path(), NoBusEnv());
        EXPECT_TRUE(AcceptsOnLoopback(daemon.port()));
        EXPECT_EQ(PathExists(home.passwordFile()), remain);
        EXPECT_EQ(PathExists(home.addressFile()), remain);
        auto dict = PlistObject::loadDictionary(home.portFile());
        ASSERT_TRUE(dict);
        EXPECT_EQ(dict->getInteger("WebdavPort"), daemon.port());
        EXPECT_EQ(dict->getInteger("WebdavPID"), daemon.pid());
        EXPECT_EQ(dict->getString("LauncherSetting"), remain ? std::nullopt : std::optional<std::string>("kept"));
        std::string err = daemon.stderrText();
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
        EXPECT_NE(err.find("listening on"), std::string::npos);
    }
}

TEST(Startup, StaleMirrorIsEmptiedAndAFileInItsPlaceIsReplaced)
{
    {
        Home home;
        WriteFile(home.mirror() + "/._stale", "x");
        WriteFile(home.mirror() + "/deep/er/.DS_Store", "y");
        Daemon daemon(home.dir.path(), NoBusEnv());
        ASSERT_TRUE(IsDirectory(home.mirror()));
        EXPECT_FALSE(PathExists(home.mirror() + "/._stale"));
        EXPECT_FALSE(PathExists(home.mirror() + "/deep"));
    }
    {
        Home home;
        WriteFile(home.mirror(), "a file where the mirror folder belongs");
        Daemon daemon(home.dir.path(), NoBusEnv());
        EXPECT_TRUE(IsDirectory(home.mirror()));
        EXPECT_TRUE(AcceptsOnLoopback(daemon.port()));
    }
}

// The listener ends the process with status -1 when its socket cannot be made:
// with no descriptor left for the socket, the port file is never written.
TEST(Startup, SocketFailureEndsTheProcessWithStatusMinusOne)
{
#ifdef PAVRIX_SANITIZED
    // The undefined-behaviour checks read memory through a pipe of their own; with
    // every descriptor taken they find none, take a sound object for a broken one
    // and stop the daemon before it reaches its socket.
    GTEST_SKIP() << "under the sanitizers a process limited to five descriptors has none left for their checks";
#endif
    Home home;
    ChildProcess::Options options{.env = NoBusEnv(), .stderrFile = home.dir / "stderr"};
    options.env["HOME"] = home.dir.path();
    // Standard input, output and error plus the hang-up pipe use five descriptors.
    ChildProcess process({"/usr/bin/prlimit", "--nofile=5", BinPath("webdav")}, options);
    auto status = process.waitExit(std::chrono::seconds(10));
    ASSERT_TRUE(status);
    ASSERT_TRUE(WIFEXITED(*status));
    EXPECT_EQ(WEXITSTATUS(*status), 255);
    EXPECT_FALSE(PathExists(home.portFile()));
    EXPECT_EQ(ReadFile(home.dir / "stderr"), "");
}


// Each value set reaching the daemon is what the end-to-end tests show (the home,
// the device folder, the trace, the link's addresses and ports, both switches);
// here, the defaults, and what counts as set: each of these sets nothing.
TEST(DaemonOptions, EachVariableWithItsDefault)
{
    const std::string passwdHome = platform::HomeFolder(std::nullopt);
    ASSERT_FALSE(passwdHome.empty());
    const Variables unset[] = {
        {},
        {{"HOME", ""}, {"PAVRIX_DEVICE", ""}, {"PAVRIX_DEVICE_TRACE", ""}, {"PAVRIX_LINK_ADDRESS", ""}},
        // A switch is on for "1" only.
        {{"PAVRIX_LOG_DEBUG", "yes"}, {"PAVRIX_STANDARD_DAV", "yes"}},
        {{"PAVRIX_LOG_DEBUG", "0"}, {"PAVRIX_STANDARD_DAV", "true"}},
        {{"PAVRIX_LOG_DEBUG", "1 "}, {"PAVRIX_STANDARD_DAV", "11"}},
    };
    for (const auto& variables : unset) {
        auto options = From(variables);
        SCOPED_TRACE(testing::PrintToString(variables));
        EXPECT_EQ(options.homeFolder, passwdHome);
        EXPECT_FALSE(options.deviceFolder || options.deviceTrace || options.link.desktopAddress);
        EXPECT_FALSE(options.logDebug || options.standardDav);
    }
    EXPECT_EQ(From({{"XDG_RUNTIME_DIR", "/run/user/9"}}).link.runtimeFolder, "/run/user/9");
}

// A link named wins over the device folder, attached or not; a folder without fs/
// or a link that is no address is no device at all.
TEST(DaemonOptions, TheDeviceIsChosenOnceFromTheOptions)
{
    DeviceFolder folder, linked;
    TempDir bare;
    DaemonOptions options;
    EXPECT_EQ(OpenAttachedDevice(options, std::nullopt, std::nullopt), nullptr) << "nothing named";
    options.deviceFolder = bare.path();
    EXPECT_EQ(OpenAttachedDevice(options, std::nullopt, std::nullopt), nullptr) << "a folder without fs/";

    options.deviceFolder = folder.path();
    auto emulated = OpenAttachedDevice(options, std::nullopt, std::nullopt);
    ASSERT_TRUE(std::dynamic_pointer_cast<EmulatedDevice>(emulated));
    EXPECT_EQ(emulated->description().at("DeviceClass"), "PocketPC");

    options.link.desktopAddress = "usb0";
    EXPECT_EQ(OpenAttachedDevice(options, std::nullopt, std::nullopt), nullptr) << "a link that is no address";

    SimulatedHandheld handheld(linked.path(), "rndis");
    options.link = handheld.linkOptions();
    auto device = OpenAttachedDevice(options, std::nullopt, std::nullopt);
    ASSERT_TRUE(std::dynamic_pointer_cast<LinkDevice>(device));
    EXPECT_TRUE(WaitFor([&] { return device->description()["DeviceName"] == "Simulated"; }, 15s))
        << handheld.stderrText();
}

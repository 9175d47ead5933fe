// webdav-start end to end: the hand-off files it writes, the daemon it starts and
// the port it prints, and how it says that it could not start one.

#include "platform/PlistObject.h"
#include "support/TestSupport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <regex>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>

using namespace testsupport;
using platform::PlistObject;
using ::testing::HasSubstr;

namespace {

class Launcher : public ::testing::Test {
protected:
    // The daemon detaches from the launcher: this process becomes the parent of its
    // children's orphans, so that the test can stop and reap it.
    static void SetUpTestSuite() { ::prctl(PR_SET_CHILD_SUBREAPER, 1); }

    void TearDown() override
    {
        for (auto& daemon : daemons_)
            daemon.stop();
    }

    CommandResult launch(std::vector<std::string> args, const std::string& stdinText = "")
    {
        args.insert(args.begin(), BinPath("webdav-start"));
        WriteFile(scratch_ / "stdin", stdinText);
        return RunCommand(args, {.env = {{"HOME", home_.path()}, {"PAVRIX_DEVICE", std::nullopt},
                                         {"PAVRIX_STANDARD_DAV", standardSetting_}},
                                 .stdinFile = scratch_ / "stdin"});
    }

    std::string cached(const std::string& name) const { return home_ / ("Library/Caches/" + name); }
    std::string portFile() const { return cached("Pavrix_webdavtmp.plist"); }
    std::string passwordFile() const { return cached("Pavrix_webdavpasswdtmp.plist"); }
    std::string addressFile() const { return cached("Pavrix_webdavipaddresstmp.plist"); }

    TempDir home_;
    TempDir scratch_;
    std::optional<std::string> standardSetting_; // PAVRIX_STANDARD_DAV as the launcher finds it
    // No service folders: the daemon's lines stay in its console log.
    PrivateBus bus_;
    std::vector<ChildProcess> daemons_;
};

bool ProcessExists(pid_t pid) { return ::kill(pid, 0) == 0 || errno != ESRCH; }

} // namespace

TEST_F(Launcher, StartsTheDaemonThatTakesTheHandOffFilesAndAnswersOnThePrintedPort)
{
    // A port file left by a daemon long gone, whose process id now belongs to
    // another program that happens to listen on the recorded port.
    LoopbackPort stranger;
    ASSERT_NE(stranger.port, 0);
    MakeDirs(home_ / "Library/Caches");
    PlistObject stale = PlistObject::dictionary();
    stale.set("WebdavPort", PlistObject::integer(stranger.port));
    stale.set("WebdavPID", PlistObject::integer(::getpid()));
    ASSERT_TRUE(stale.writeAtomically(portFile()));

    CommandResult started = launch({"--password", "s3cret", "--address", "192.168.55.101", "--log", scratch_ / "log"});
    ASSERT_EQ(started.exitCode, 0) << started.err;
    const int port = std::stoi(started.out);
    auto recorded = PlistObject::loadDictionary(portFile());
    ASSERT_TRUE(recorded);
    ASSERT_TRUE(recorded->getInteger("WebdavPID"));
    daemons_.push_back(ChildProcess::Adopt(static_cast<pid_t>(*recorded->getInteger("WebdavPID"))));
    EXPECT_EQ(recorded->getInteger("WebdavPort"), port);
    EXPECT_EQ(started.out, std::to_string(port) + "\n");

    // The daemon took both values over and deleted the files.
    EXPECT_FALSE(PathExists(passwordFile()));
    EXPECT_FALSE(PathExists(addressFile()));
    auto options = ParseResponse(Exchange(port, "OPTIONS /Device/ HTTP/1.1\r\nHost: localhost\r\n\r\n"));
    EXPECT_EQ(options.status(), 200);
    // Started for the desktop's clients: the standard answers.
    EXPECT_EQ(options.header("DAV"), "1, 2");
    EXPECT_THAT(ReadFile(scratch_ / "log"), HasSubstr("listening on " + std::to_string(port)));

    // A second start finds it, says so, gives its port and hands nothing over.
    CommandResult again = launch({"--password", "other", "--address", "10.0.0.1"});
    EXPECT_EQ(again.exitCode, 3);
    EXPECT_THAT(again.err, HasSubstr("already running"));
    EXPECT_EQ(again.out, std::to_string(port) + "\n");
    EXPECT_FALSE(PathExists(passwordFile()));
    EXPECT_FALSE(PathExists(addressFile()));
}

// A daemon that ends at once leaves the hand-off files as the launcher wrote them.
TEST_F(Launcher, WritesWhatItIsGivenForTheDaemonToTakeOver)
{
    // arguments, standard input, the password and address written (none: no file)
    const std::tuple<std::vector<std::string>, std::string, std::optional<std::string>, std::optional<std::string>>
        cases[] = {
        {{"--password", "s3cret", "--address", "192.168.55.101"}, "", "s3cret", "192.168.55.101"},
        {{"--password-stdin"}, "line one\r\nline two\n", "line one", std::nullopt},
        {{"--password", "p<a>&\xc3\xb6"}, "", "p<a>&\xc3\xb6", std::nullopt},
        {{"--password", ""}, "", "", std::nullopt},
        {{"--address", "fe80::1"}, "", std::nullopt, "fe80::1"},
    };
    for (const auto& [given, stdinText, password, address] : cases) {
        SCOPED_TRACE(given.front());
        std::remove(passwordFile().c_str());
        std::remove(addressFile().c_str());
        std::vector<std::string> args = given;
        args.insert(args.end(), {"--daemon", "/bin/true"});
        CommandResult result = launch(args, stdinText);
        EXPECT_EQ(result.exitCode, 2);
        EXPECT_THAT(result.err, HasSubstr("webdav exited with status 0 before it listened"));
        EXPECT_EQ(result.out, "");

        EXPECT_EQ(PathExists(passwordFile()), password.has_value());
        EXPECT_EQ(PathExists(addressFile()), address.has_value());
        auto passwordPlist = PlistObject::loadDictionary(passwordFile());
        auto addressPlist = PlistObject::loadDictionary(addressFile());
        using Bytes = std::vector<uint8_t>;
        EXPECT_EQ(passwordPlist ? passwordPlist->getData("Password") : std::nullopt,
                  password ? std::optional(Bytes(password->begin(), password->end())) : std::nullopt);
        EXPECT_EQ(addressPlist ? addressPlist->getString("IpAddr") : std::nullopt, address);
        struct stat st {};
        EXPECT_EQ(::stat(passwordFile().c_str(), &st) == 0 ? st.st_mode & 0777 : 0600u, 0600u) << "for its owner only";
    }
}

// Wrong use (status 1) starts nothing; a daemon that never came up (status 2) is
// stopped. Either way the launcher says why and prints no port.
TEST_F(Launcher, SaysWhyItStartedNothing)
{
    const std::string silent = scratch_ / "silent-daemon";
    WriteFile(silent, "#!/bin/sh\nexec sleep 600\n");
    ::chmod(silent.c_str(), 0755);
    const std::string usage = "usage: webdav-start";
    // arguments, exit status, what it says
    const std::tuple<std::vector<std::string>, int, std::string> cases[] = {
        {{"--password"}, 1, usage},
        {{"--timeout", "0"}, 1, usage},
        {{"--timeout", "2s"}, 1, usage},
        {{"stray"}, 1, usage},
        {{"--password", "a", "--password-stdin"}, 1, usage},
        {{"--unit", "webdav.service", "--log", "/tmp/x"}, 1, usage},
        {{"--daemon", scratch_ / "missing"}, 2, "cannot start"},
        {{"--daemon", "/bin/false"}, 2, "exited with status 1 before it listened"},
        {{"--unit", "webdav-start-test-missing.service", "--timeout", "1"}, 2, "systemctl --user start"},
        {{"--daemon", silent, "--timeout", "1"}, 2, "did not come up within 1 s; stopped it"},
    };
    for (const auto& [args, status, message] : cases) {
        SCOPED_TRACE(args.back());
        CommandResult result = launch(args);
        EXPECT_EQ(result.exitCode, status);
        EXPECT_THAT(result.err, HasSubstr(message));
        EXPECT_EQ(result.out, "");
        if (status == 1) {
            EXPECT_FALSE(PathExists(home_ / "Library")) << "a refused start wrote hand-off files or started the daemon";
        }
        std::smatch m;
        if (args.back() == "1" && args.front() == "--daemon") {
            ASSERT_TRUE(std::regex_search(result.err, m, std::regex(R"(\(pid (\d+)\) did not come up)")));
            EXPECT_FALSE(ProcessExists(std::stoi(m[1]))) << "the launcher left its daemon running";
        }
    }
    CommandResult help = launch({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_THAT(help.out, HasSubstr(usage));
}

// PAVRIX_STANDARD_DAV=0 where the launcher runs keeps the daemon's own answers.
TEST_F(Launcher, LeavesTheDaemonItsOwnAnswersWhenToldZero)
{
    standardSetting_ = "0";
    CommandResult started = launch({"--address", "192.168.55.101"});
    ASSERT_EQ(started.exitCode, 0) << started.err;
    auto recorded = PlistObject::loadDictionary(portFile());
    ASSERT_TRUE(recorded && recorded->getInteger("WebdavPID"));
    daemons_.push_back(ChildProcess::Adopt(static_cast<pid_t>(*recorded->getInteger("WebdavPID"))));
    auto options = ParseResponse(Exchange(std::stoi(started.out), "OPTIONS /Device/ HTTP/1.1\r\n\r\n"));
    EXPECT_EQ(options.header("DAV"), "2");
}

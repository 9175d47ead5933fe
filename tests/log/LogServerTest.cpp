// The log server program spoken to directly through a proxy, as any client would.

#include "log/LogTestHelpers.h"
#include "platform/NamedService.h"
#include "support/TestSupport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>
#include <sys/wait.h>

using namespace std::chrono_literals;
using namespace testsupport;
using logtest::kLogServerName;
using logtest::StartLogServer;
using testing::HasSubstr;

namespace {

std::shared_ptr<platform::ServiceProxy> Proxy()
{
    return platform::ServiceProxy::lookUp(kLogServerName, "LogProtocol");
}

std::string GetLog(platform::ServiceProxy& proxy) { return proxy.call<std::string>("getLog"); }

class LogServerTest : public testing::Test {
protected:
    TempDir dir_;
    PrivateBus bus_;
};

TEST_F(LogServerTest, KeepsLinesAsSentInOrderUntilCleared)
{
    auto server = StartLogServer();
    auto proxy = Proxy();
    ASSERT_TRUE(proxy);
    EXPECT_EQ(GetLog(*proxy), "");
    const std::vector<std::string> lines = {"12/1/09 09:05:09  webdav:  first\n", "no line feed", "",
                                            " and more\n", "caf\xc3\xa9 100% %s %@\n"};
    std::string expected;
    for (const auto& line : lines) {
        proxy->sendOneway("log", line);
        expected += line;
    }
    EXPECT_EQ(GetLog(*proxy), expected);
    EXPECT_EQ(GetLog(*proxy), expected); // reading does not consume

    proxy->sendOneway("clear");
    EXPECT_EQ(GetLog(*proxy), "");
    proxy->sendOneway("log", std::string("after clear\n"));
    EXPECT_EQ(GetLog(*proxy), "after clear\n");
}

TEST_F(LogServerTest, PingEchoesItsArgument)
{
    auto server = StartLogServer();
    auto proxy = Proxy();
    ASSERT_TRUE(proxy);
    for (std::string text : {"ping", "", "something else", "\xe2\x9c\x93 checked"})
        EXPECT_EQ(proxy->call<std::string>("ping", text), text);
}

TEST_F(LogServerTest, SaveToWritesTheLogAndSurvivesAnUnwritablePath)
{
    auto server = StartLogServer();
    auto proxy = Proxy();
    ASSERT_TRUE(proxy);
    proxy->sendOneway("log", std::string("one\n"));
    proxy->sendOneway("log", std::string("two\n"));
    std::string saved = dir_ / "saved.log";
    WriteFile(saved, "old content that is longer than the log\n");
    proxy->sendOneway("saveTo", saved);
    EXPECT_EQ(proxy->call<std::string>("ping", std::string("sync")), "sync");
    EXPECT_EQ(ReadFile(saved), "one\ntwo\n");

    proxy->sendOneway("saveTo", dir_ / "missing-folder/saved.log");
    EXPECT_EQ(proxy->call<std::string>("ping", std::string("alive")), "alive");
    EXPECT_FALSE(PathExists(dir_ / "missing-folder"));
    EXPECT_EQ(GetLog(*proxy), "one\ntwo\n");
}

TEST_F(LogServerTest, KeepsOnlyTheNewestLines)
{
    auto server = StartLogServer({"--max-lines", "3"});
    auto proxy = Proxy();
    ASSERT_TRUE(proxy);
    for (int i = 1; i <= 5; ++i)
        proxy->sendOneway("log", "line " + std::to_string(i) + "\n");
    EXPECT_EQ(GetLog(*proxy), "line 3\nline 4\nline 5\n");
}

TEST_F(LogServerTest, StopSignalsEndItCleanlyAndReleaseTheName)
{
    for (int sig : {SIGTERM, SIGINT}) {
        auto server = StartLogServer();
        server.signal(sig);
        auto status = server.waitExit(5s);
        ASSERT_TRUE(status) << "signal " << sig;
        EXPECT_TRUE(WIFEXITED(*status)) << "signal " << sig;
        EXPECT_EQ(WEXITSTATUS(*status), 0) << "signal " << sig;
        EXPECT_FALSE(ServiceRegistered(kLogServerName));
    }
}

TEST_F(LogServerTest, SecondServerCannotTakeTheNameAndLeavesTheFirstServing)
{
    auto server = StartLogServer();
    auto result = RunCommand({BinPath("pavrix-logserver")}, {}, 10s);
    ASSERT_TRUE(result.exitCode);
    EXPECT_EQ(*result.exitCode, 1);
    EXPECT_THAT(result.err, HasSubstr("cannot register PavrixWMLogServer"));
    auto proxy = Proxy();
    ASSERT_TRUE(proxy);
    EXPECT_EQ(proxy->call<std::string>("ping", std::string("ping")), "ping");
}

TEST_F(LogServerTest, WithoutSessionBusItExitsWithAnError)
{
    ChildProcess::Options options;
    options.env["DBUS_SESSION_BUS_ADDRESS"] = "unix:path=" + (dir_ / "no-such-bus");
    auto result = RunCommand({BinPath("pavrix-logserver")}, options, 10s);
    ASSERT_TRUE(result.exitCode);
    EXPECT_EQ(*result.exitCode, 1);
    EXPECT_THAT(result.err, HasSubstr("cannot register"));
}

TEST_F(LogServerTest, BadArgumentsGiveUsage)
{
    struct Case {
        std::vector<std::string> args;
        int exitCode;
        bool usageOnStdout;
    };
    const std::vector<Case> cases = {
        {{"--help"}, 0, true},
        {{"-h"}, 0, true},
        {{"--bogus"}, 2, false},
        {{"extra"}, 2, false},
        {{"--max-lines"}, 2, false},
        {{"--max-lines", "0"}, 2, false},
        {{"--max-lines", "-3"}, 2, false},
        {{"--max-lines", "3x"}, 2, false},
        {{"--max-lines", ""}, 2, false},
        {{"--max-lines", "3", "more"}, 2, false},
    };
    // No bus: arguments it wrongly took would end in a registration error (1), not
    // in the usage answer.
    ChildProcess::Options options;
    options.env["DBUS_SESSION_BUS_ADDRESS"] = "unix:path=" + (dir_ / "no-such-bus");
    for (const auto& c : cases) {
        std::vector<std::string> argv{BinPath("pavrix-logserver")};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        auto result = RunCommand(argv, options, 10s);
        std::string label = testing::PrintToString(c.args);
        ASSERT_TRUE(result.exitCode) << label;
        EXPECT_EQ(*result.exitCode, c.exitCode) << label;
        EXPECT_THAT(c.usageOnStdout ? result.out : result.err, HasSubstr("usage: ")) << label;
    }
}

} // namespace

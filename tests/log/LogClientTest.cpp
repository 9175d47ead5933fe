// The log client against the real log server on a private session bus, and against
// no server at all (the console log, caught from standard error).

#include "log/LogClient.h"
#include "log/LogTestHelpers.h"
#include "platform/NamedService.h"
#include "support/TestSupport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

using namespace std::chrono_literals;
using namespace testsupport;
using logtest::kLogServerName;
using logtest::ScopedEnv;
using logtest::StartLogServer;
using logtest::StderrCapture;
using logtest::StopLogServer;
using testing::HasSubstr;
using testing::Not;

namespace {

// "3/7/09 14:05:09": month and day without leading zero, two-digit year, then the
// 24-hour time with two digits each.
const std::string kStamp = R"(\d{1,2}/\d{1,2}/\d{2} \d{2}:\d{2}:\d{2})";

std::string ServerLogText()
{
    auto log = LogGetCurrentLog();
    if (!log)
        return "<no log>";
    return log->asString().value_or("<not text>");
}

// The server's log read past the client, through a proxy of the test's own.
std::optional<std::string> DirectGetLog()
{
    auto proxy = platform::ServiceProxy::lookUp(kLogServerName, "LogProtocol");
    if (!proxy)
        return std::nullopt;
    try {
        return proxy->call<std::string>("getLog");
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

void DirectLog(const std::string& line)
{
    auto proxy = platform::ServiceProxy::lookUp(kLogServerName, "LogProtocol");
    ASSERT_TRUE(proxy);
    proxy->sendOneway("log", line);
    proxy->call<std::string>("ping", std::string("sync")); // the line is in once this returns
}

// The time stamp the client must write for a moment, worked out from the C
// library's own local time rather than from the client's formatter.
std::string ExpectedStamp(time_t t)
{
    struct tm local {};
    localtime_r(&t, &local);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%d/%d/%02d %02d:%02d:%02d", local.tm_mon + 1, local.tm_mday, local.tm_year % 100,
                  local.tm_hour, local.tm_min, local.tm_sec);
    return buf;
}

class LogClientTest : public testing::Test {
protected:
    std::string scratch(const std::string& name) const { return dir_ / name; }

    TempDir dir_;
    PrivateBus bus_;
};

TEST_F(LogClientTest, LineReachesServerInLayoutWithLocalTimeStamp)
{
    // A zone with a half-hour offset and a non-English locale: the stamp must still
    // be the local time, with numbers only.
    ScopedEnv tz("TZ", "Asia/Kolkata");
    ScopedEnv lang("LC_ALL", "de_DE.UTF-8");
    auto server = StartLogServer();
    LogInit(kLogServerName, "webdav");

    time_t before = std::time(nullptr);
    LogWithDate("got a connection from %@ on port %d", "127.0.0.1", 8080);
    time_t after = std::time(nullptr);

    std::string log = ServerLogText();
    std::set<std::string> allowed;
    for (time_t t = before; t <= after; ++t)
        allowed.insert(ExpectedStamp(t) + "  webdav:  got a connection from 127.0.0.1 on port 8080\n");
    EXPECT_TRUE(allowed.count(log)) << "server log: " << log;
    EXPECT_TRUE(LogServerRunning());
    LogCleanup();
}

TEST_F(LogClientTest, WithoutServerLinesGoToConsoleAndQueriesGiveNothing)
{
    LogInit(kLogServerName, "webdav"); // a bus, but nobody holds the name
    StderrCapture capture(scratch("stderr"));
    LogWithDate("listening on %d", 4242);
    LogWithDate("got a connection");
    EXPECT_FALSE(LogServerReallyRunning());
    EXPECT_FALSE(LogGetCurrentLog());
    LogClear(); // nothing to clear, and nothing written either
    EXPECT_FALSE(LogServerRunning());
    std::string console = capture.finish();
    EXPECT_TRUE(std::regex_match(console, std::regex("^" + kStamp + "  webdav:  listening on 4242\n" + kStamp +
                                                     "  webdav:  got a connection\n$")))
        << console;
    LogCleanup();
}

TEST_F(LogClientTest, WithoutSessionBusOrServerNameLinesGoToConsole)
{
    auto server = StartLogServer();
    {
        // No server name: the running server is never asked.
        LogInit(nullptr, "webdav");
        StderrCapture capture(scratch("noname"));
        LogWithDate("nameless server");
        EXPECT_FALSE(LogServerReallyRunning());
        EXPECT_THAT(capture.finish(), HasSubstr("  webdav:  nameless server\n"));
        LogCleanup();
    }
    {
        ScopedEnv nobus("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + scratch("no-such-bus")).c_str());
        LogInit(kLogServerName, "webdav");
        StderrCapture capture(scratch("nobus"));
        LogWithDate("no bus at all");
        EXPECT_FALSE(LogServerReallyRunning());
        EXPECT_THAT(capture.finish(), HasSubstr("  webdav:  no bus at all\n"));
        LogCleanup();
    }
    auto log = DirectGetLog();
    ASSERT_TRUE(log);
    EXPECT_EQ(*log, "");
}

TEST_F(LogClientTest, FormatsArriveIntactOnConsoleAndOnServer)
{
    const std::string big(5000, 'x');
    struct Case {
        std::string expected;
        std::function<void()> log;
    };
    const std::vector<Case> cases = {
        {"100% sure\n", [] { LogPrintf("100%% sure\n"); }},
        {"50% off %s %n %@ %%\n", [] { LogPrintf("%@\n", "50% off %s %n %@ %%"); }},
        {"7-obj-str|%@|\n", [] { LogPrintf("%d-%@-%s|%%@|\n", 7, "obj", "str"); }},
        {"[(null)]\n", [] { LogPrintf("[%@]\n", static_cast<const char*>(nullptr)); }},
        {"[  ab][ab  ][abc]\n", [] { LogPrintf("[%4@][%-4@][%.3@]\n", "ab", "ab", "abcdef"); }},
        {"3.50 ff 1234567890123\n", [] { LogPrintf("%.2f %x %lld\n", 3.5, 255, 1234567890123LL); }},
        {big + "|" + big + "\n", [&big] { LogPrintf("%@|%s\n", big.c_str(), big.c_str()); }},
        {"no line feed added", [] { LogPrintf("no line feed added"); }},
        {"%d %s %@ taken as it stands\n", [] { LogRawString("%d %s %@ taken as it stands\n"); }},
    };

    LogInit(kLogServerName, "webdav");
    {
        StderrCapture capture(scratch("stderr"));
        for (const auto& c : cases)
            c.log();
        std::string console = capture.finish();
        std::string expected;
        for (const auto& c : cases)
            expected += c.expected;
        EXPECT_EQ(console, expected);
    }

    auto server = StartLogServer();
    for (const auto& c : cases) {
        LogClear();
        c.log();
        EXPECT_EQ(ServerLogText(), c.expected);
    }
    LogCleanup();
}

TEST_F(LogClientTest, ServerGoneSendsLinesToConsoleAndRestartIsPickedUp)
{
    auto first = StartLogServer();
    LogInit(kLogServerName, "webdav");
    LogWithDate("first line");
    EXPECT_THAT(ServerLogText(), HasSubstr("webdav:  first line\n"));
    EXPECT_TRUE(LogServerRunning());

    StopLogServer(first);
    {
        StderrCapture capture(scratch("down"));
        LogWithDate("while down %d%%", 100);
        LogWithDate("still down");
        std::string console = capture.finish();
        EXPECT_TRUE(std::regex_match(console, std::regex("^" + kStamp + "  webdav:  while down 100%\n" + kStamp +
                                                         "  webdav:  still down\n$")))
            << console;
        EXPECT_FALSE(LogServerRunning());
    }

    auto second = StartLogServer();
    StderrCapture capture(scratch("up"));
    LogWithDate("back up");
    EXPECT_EQ(capture.finish(), "");
    std::string log = ServerLogText();
    EXPECT_TRUE(std::regex_match(log, std::regex("^" + kStamp + "  webdav:  back up\n$"))) << log;
    EXPECT_TRUE(LogServerRunning());
    LogCleanup();
}

TEST_F(LogClientTest, ServerReplacedBetweenCallsIsReachedByOneReconnect)
{
    auto first = StartLogServer();
    LogInit(kLogServerName, "webdav");
    LogWithDate("to the first");
    ASSERT_THAT(ServerLogText(), HasSubstr("to the first"));

    // The client still holds a proxy bound to the first server when each call
    // starts: every call must notice, look the name up once more and succeed.
    StopLogServer(first);
    auto second = StartLogServer();
    {
        StderrCapture capture(scratch("line"));
        LogWithDate("to the second");
        EXPECT_EQ(capture.finish(), "");
        auto log = DirectGetLog();
        ASSERT_TRUE(log);
        EXPECT_THAT(*log, HasSubstr("webdav:  to the second\n"));
        EXPECT_THAT(*log, Not(HasSubstr("first")));
    }

    StopLogServer(second);
    auto third = StartLogServer();
    DirectLog("kept by the third\n");
    auto log = LogGetCurrentLog();
    ASSERT_TRUE(log);
    EXPECT_EQ(log->asString(), "kept by the third\n");

    StopLogServer(third);
    auto fourth = StartLogServer();
    DirectLog("to be cleared\n");
    LogClear();
    EXPECT_TRUE(WaitFor([] { return DirectGetLog() == std::string(); }, 5s)) << DirectGetLog().value_or("<none>");
    LogCleanup();
}

TEST_F(LogClientTest, ReallyRunningPingsWithoutReconnecting)
{
    LogInit(kLogServerName, "webdav");
    EXPECT_FALSE(LogServerReallyRunning());
    auto first = StartLogServer();
    EXPECT_TRUE(LogServerReallyRunning());
    EXPECT_TRUE(LogServerRunning());

    StopLogServer(first);
    EXPECT_FALSE(LogServerReallyRunning());
    // Another server holds the name now, but the ping goes to the one the client is
    // bound to and does not look the name up again; the next line does.
    auto second = StartLogServer();
    EXPECT_FALSE(LogServerReallyRunning());
    LogWithDate("reconnects");
    EXPECT_TRUE(LogServerReallyRunning());
    LogCleanup();
}

TEST_F(LogClientTest, GetCurrentLogAndClear)
{
    auto server = StartLogServer();
    LogInit(kLogServerName, "webdav");
    EXPECT_EQ(ServerLogText(), "");
    LogPrintf("one\n");
    LogPrintf("two\n");
    EXPECT_EQ(ServerLogText(), "one\ntwo\n");
    LogClear();
    EXPECT_EQ(ServerLogText(), "");
    LogPrintf("three\n");
    EXPECT_EQ(ServerLogText(), "three\n");
    LogCleanup();
    EXPECT_FALSE(LogGetCurrentLog()); // not initialised any more
}

TEST_F(LogClientTest, SecondInitKeepsFirstNamesAndLastCleanupEndsTheClient)
{
    auto server = StartLogServer();
    LogInit(kLogServerName, "first");
    LogInit("SomeOtherServer", "second");
    LogCleanup();
    LogWithDate("still initialised");
    EXPECT_TRUE(std::regex_match(ServerLogText(), std::regex("^" + kStamp + "  first:  still initialised\n$")))
        << ServerLogText();

    LogCleanup();
    EXPECT_FALSE(LogServerRunning());
    {
        StderrCapture capture(scratch("after"));
        LogWithDate("after the last cleanup");
        EXPECT_FALSE(LogServerReallyRunning());
        LogCleanup(); // one too many: nothing to undo
        std::string console = capture.finish();
        // The names are gone with the state: no application name any more.
        EXPECT_TRUE(std::regex_match(console, std::regex("^" + kStamp + ":  after the last cleanup\n$"))) << console;
    }

    LogInit(kLogServerName, "again");
    LogWithDate("back");
    EXPECT_THAT(ServerLogText(), HasSubstr("  again:  back\n"));
    LogCleanup();
}

TEST_F(LogClientTest, ApplicationNameCanBeReplacedOrCleared)
{
    auto server = StartLogServer();
    LogInit(kLogServerName, "webdav");
    SetApplicationNameForLog(nullptr);
    LogWithDate("nameless");
    SetApplicationNameForLog("renamed");
    LogWithDate("named");
    std::string log = ServerLogText();
    EXPECT_TRUE(std::regex_match(log, std::regex("^" + kStamp + ":  nameless\n" + kStamp + "  renamed:  named\n$")))
        << log;
    LogCleanup();

    LogInit(kLogServerName, nullptr);
    LogClear();
    LogWithDate("never named");
    log = ServerLogText();
    EXPECT_TRUE(std::regex_match(log, std::regex("^" + kStamp + ":  never named\n$"))) << log;
    LogCleanup();
}

TEST_F(LogClientTest, LineTheBusCannotCarryGoesToConsoleUnchanged)
{
    auto server = StartLogServer();
    LogInit(kLogServerName, "webdav");
    LogPrintf("before\n");
    const std::vector<std::string> lines = {"bad byte \xff here\n", std::string("nul\0inside\n", 11),
                                            "cut \xe2\x82 sequence\n", "overlong \xc0\xaf slash\n"};
    StderrCapture capture(scratch("stderr"));
    for (const auto& line : lines)
        LogRawString(line);
    std::string console = capture.finish();
    std::string expected;
    for (const auto& line : lines)
        expected += line;
    EXPECT_EQ(console, expected);
    // The connection was left alone and keeps carrying good lines, UTF-8 included.
    EXPECT_TRUE(LogServerRunning());
    LogPrintf("caf\xc3\xa9 \xf0\x9f\x93\xb1\n");
    EXPECT_EQ(ServerLogText(), "before\ncaf\xc3\xa9 \xf0\x9f\x93\xb1\n");
    LogCleanup();
}

TEST_F(LogClientTest, LinesFromSeveralThreadsArriveWholeAndOnce)
{
    auto server = StartLogServer();
    LogInit(kLogServerName, "webdav");
    constexpr int kThreads = 4;
    constexpr int kLines = 50;
    StderrCapture capture(scratch("stderr"));
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < kLines; ++i)
                LogPrintf("thread %d line %d of a line long enough to tear if writes interleaved\n", t, i);
        });
    for (auto& thread : threads)
        thread.join();
    // A line may have gone to the console if its thread waited past a second's end;
    // between the two every line must be there once, whole.
    std::string all = ServerLogText() + capture.finish();
    std::multiset<std::string> seen;
    std::istringstream in(all);
    for (std::string line; std::getline(in, line);)
        seen.insert(line);
    EXPECT_EQ(seen.size(), static_cast<size_t>(kThreads * kLines));
    for (int t = 0; t < kThreads; ++t)
        for (int i = 0; i < kLines; ++i)
            EXPECT_EQ(seen.count("thread " + std::to_string(t) + " line " + std::to_string(i) +
                                 " of a line long enough to tear if writes interleaved"),
                      1u);
    LogCleanup();
}

TEST(LogSwitches, StartValuesAndSetters)
{
    EXPECT_EQ(static_cast<int>(gLogOn), 1);
    EXPECT_EQ(static_cast<int>(gLogDebug), 0);
    EXPECT_EQ(static_cast<int>(gLogTrace), 0);
    LogTurnOn(false);
    LogSetDebugState(true);
    LogSetTraceState(true);
    EXPECT_EQ(static_cast<int>(gLogOn), 0);
    EXPECT_EQ(static_cast<int>(gLogDebug), 1);
    EXPECT_EQ(static_cast<int>(gLogTrace), 1);
    EXPECT_FALSE(LogIsOn());
    EXPECT_TRUE(LogGetDebugState());
    EXPECT_TRUE(LogGetTraceState());
    LogTurnOn(true);
    LogSetDebugState(false);
    LogSetTraceState(false);
    EXPECT_TRUE(LogIsOn());
    EXPECT_FALSE(LogGetDebugState());
    EXPECT_FALSE(LogGetTraceState());
}

// A log server inside the test whose getLog takes its time, so that the client's
// lock stays held by the thread that asked for it.
class SlowLogServer {
public:
    explicit SlowLogServer(std::chrono::milliseconds getLogDelay) : host_(kLogServerName)
    {
        const std::string interface = platform::ProtocolInterfaceName("LogProtocol");
        auto& object = host_.rootObject();
        object.registerMethod("log")
            .onInterface(interface)
            .implementedAs([this](const std::string& line) {
                std::lock_guard<std::mutex> guard(mutex_);
                lines_.push_back(line);
            })
            .withNoReply();
        object.registerMethod("getLog").onInterface(interface).implementedAs([this, getLogDelay]() {
            getLogEntered_ = true;
            std::this_thread::sleep_for(getLogDelay);
            return std::string("slow");
        });
        object.registerMethod("ping").onInterface(interface).implementedAs([](const std::string& s) { return s; });
        object.finishRegistration();
        thread_ = std::thread([this] { host_.run(); });
    }
    ~SlowLogServer()
    {
        host_.stop();
        thread_.join();
    }

    bool getLogEntered() const { return getLogEntered_; }
    void resetEntered() { getLogEntered_ = false; }
    bool received(const std::string& needle)
    {
        std::lock_guard<std::mutex> guard(mutex_);
        for (const auto& line : lines_)
            if (line.find(needle) != std::string::npos)
                return true;
        return false;
    }

private:
    platform::ServiceHost host_;
    std::thread thread_;
    std::atomic<bool> getLogEntered_{false};
    std::mutex mutex_;
    std::vector<std::string> lines_;
};

TEST_F(LogClientTest, LockHeldPastTheSecondSendsLineToConsoleWithoutWaitingLonger)
{
    SlowLogServer server(3000ms);
    LogInit(kLogServerName, "webdav");
    LogWithDate("connect first");
    ASSERT_TRUE(WaitFor([&] { return server.received("connect first"); }, 5s));

    std::optional<platform::PlistObject> slowResult;
    std::thread holder([&] { slowResult = LogGetCurrentLog(); });
    ASSERT_TRUE(WaitFor([&] { return server.getLogEntered(); }, 5s));

    StderrCapture capture(scratch("stderr"));
    auto start = std::chrono::steady_clock::now();
    LogWithDate("while the lock is held");
    auto lineTook = std::chrono::steady_clock::now() - start;
    start = std::chrono::steady_clock::now();
    bool reallyRunning = LogServerReallyRunning();
    auto pingTook = std::chrono::steady_clock::now() - start;
    std::string console = capture.finish();

    EXPECT_LT(lineTook, 1100ms);
    EXPECT_LT(pingTook, 1100ms);
    EXPECT_FALSE(reallyRunning);
    EXPECT_TRUE(std::regex_match(console, std::regex("^" + kStamp + "  webdav:  while the lock is held\n$")))
        << console;

    holder.join();
    ASSERT_TRUE(slowResult);
    EXPECT_EQ(slowResult->asString(), "slow");
    // The lock is free again: lines go to the server, and the refused one never did.
    LogWithDate("after the holder");
    ASSERT_TRUE(WaitFor([&] { return server.received("after the holder"); }, 5s));
    EXPECT_FALSE(server.received("while the lock is held"));
    LogCleanup();
}

TEST_F(LogClientTest, CleanupThatCannotHaveTheLockChangesNothing)
{
    SlowLogServer server(2000ms);
    LogInit(kLogServerName, "webdav");
    std::thread holder([] { LogGetCurrentLog(); });
    ASSERT_TRUE(WaitFor([&] { return server.getLogEntered(); }, 5s));
    LogCleanup(); // gives up at the second's end: the client stays initialised
    holder.join();
    LogWithDate("still initialised");
    EXPECT_TRUE(WaitFor([&] { return server.received("  webdav:  still initialised\n"); }, 5s));
    LogCleanup();
}

TEST_F(LogClientTest, LockFreedWithinTheSecondIsTaken)
{
    SlowLogServer server(300ms);
    LogInit(kLogServerName, "webdav");
    LogWithDate("connect first");
    ASSERT_TRUE(WaitFor([&] { return server.received("connect first"); }, 5s));

    // The holder must start early in a second, so that its hold ends well before
    // the waiter's limit; a busy machine may need a few tries to line that up.
    bool tried = false;
    for (int attempt = 0; attempt < 5 && !tried; ++attempt) {
        using Clock = std::chrono::system_clock;
        std::this_thread::sleep_until(Clock::from_time_t(Clock::to_time_t(Clock::now()) + 1) + 10ms);
        server.resetEntered();
        std::thread holder([] { LogGetCurrentLog(); });
        if (!WaitFor([&] { return server.getLogEntered(); }, 5s)) {
            holder.join();
            continue;
        }
        auto now = Clock::now();
        auto left = Clock::from_time_t(Clock::to_time_t(now) + 1) - now;
        if (left < 600ms) {
            holder.join();
            continue;
        }
        tried = true;
        StderrCapture capture(scratch("stderr"));
        auto start = std::chrono::steady_clock::now();
        LogWithDate("waited for the lock");
        auto took = std::chrono::steady_clock::now() - start;
        holder.join();
        EXPECT_EQ(capture.finish(), "");
        EXPECT_GE(took, 100ms); // it really had to wait for the holder
        EXPECT_TRUE(WaitFor([&] { return server.received("  webdav:  waited for the lock\n"); }, 5s));
    }
    EXPECT_TRUE(tried) << "could not start the holder early enough in a second";
    LogCleanup();
}

} // namespace

// The log client against the real log server on a private session bus, and against
// no server at all (the console log, caught from standard error).

#include "log/LogClient.h"
#include "log/LogProtocol.h"
#include "platform/NamedService.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fcntl.h>
#include <functional>
#include <mutex>
#include <regex>
#include <set>
#include <sstream>
#include <thread>
#include <unistd.h>

using namespace std::literals;
using namespace testsupport;

namespace {

constexpr const char* kServer = kLogServerName;
// "3/7/09 14:05:09": month and day without leading zero, two-digit year, then the
// 24-hour time with two digits each.
const std::string kStamp = R"(\d{1,2}/\d{1,2}/\d{2} \d{2}:\d{2}:\d{2})";

// The whole text against the pattern.
bool Matches(const std::string& s, const std::string& re) { return std::regex_match(s, std::regex(re)); }

std::string ServerLog()
{
    return LogGetCurrentLog().value_or(platform::PlistObject::string("<no log>")).asString().value_or("<not text>");
}

ChildProcess StartLogServer() { return StartService({BinPath("pavrix-logserver")}, kServer); }

// Stops a server and waits until the bus has let go of its name.
void StopLogServer(ChildProcess& server) { server.stop(); WaitFor([] { return !ServiceRegistered(kServer); }); }

// Sends standard error (which the console log writes to unbuffered) to a file until
// finish(), which gives back what was written.
class StderrCapture {
public:
    explicit StderrCapture(std::string path) : path_(std::move(path)), saved_(::dup(STDERR_FILENO))
    {
        int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(fd, STDERR_FILENO);
        ::close(fd);
    }
    ~StderrCapture() { finish(); }
    std::string finish()
    {
        if (saved_ >= 0) {
            ::dup2(saved_, STDERR_FILENO);
            ::close(saved_);
            saved_ = -1;
        }
        return ReadFile(path_);
    }

private:
    std::string path_;
    int saved_;
};

class LogClientTest : public testing::Test {
protected:
    std::string scratch(const std::string& name) const { return dir_ / name; }

    TempDir dir_;
    PrivateBus bus_;
};

TEST_F(LogClientTest, LineReachesServerInLayoutWithLocalTimeStamp)
{
    // A zone with a half-hour offset: the stamp must still be the local time. The
    // other tests do not depend on the zone, so it is left set.
    ::setenv("TZ", "Asia/Kolkata", 1);
    ::tzset();
    auto server = StartLogServer();
    LogInit(kServer, "webdav");
    // The bounds come from the clock the stamp is taken from: time() reads a
    // coarser clock that can still show the last second when the stamp shows the next.
    using Clock = std::chrono::system_clock;
    time_t before = Clock::to_time_t(Clock::now());
    LogWithDate("got a connection from %@ on port %d", "127.0.0.1", 8080);
    std::set<std::string> allowed; // worked out from the C library, not the client's formatter
    for (time_t t = before; t <= Clock::to_time_t(Clock::now()); ++t) {
        struct tm local {};
        localtime_r(&t, &local);
        char stamp[64];
        std::snprintf(stamp, sizeof stamp, "%d/%d/%02d %02d:%02d:%02d", local.tm_mon + 1, local.tm_mday,
                      local.tm_year % 100, local.tm_hour, local.tm_min, local.tm_sec);
        allowed.insert(stamp + std::string("  webdav:  got a connection from 127.0.0.1 on port 8080\n"));
    }
    EXPECT_TRUE(allowed.count(ServerLog())) << ServerLog();
    LogCleanup();
}

TEST_F(LogClientTest, WithoutServerLinesGoToConsoleAndARestartedServerIsPickedUp)
{
    LogInit(kServer, "webdav"); // a bus, but nobody holds the name yet
    {
        StderrCapture capture(scratch("none"));
        LogWithDate("listening on %d", 4242);
        EXPECT_FALSE(LogServerReallyRunning());
        EXPECT_FALSE(LogGetCurrentLog());
        std::string console = capture.finish();
        EXPECT_TRUE(Matches(console, kStamp + "  webdav:  listening on 4242\n")) << console;
    }
    auto first = StartLogServer();
    LogWithDate("first line");
    EXPECT_TRUE(Matches(ServerLog(), kStamp + "  webdav:  first line\n")) << ServerLog();
    EXPECT_TRUE(LogServerReallyRunning());

    StopLogServer(first);
    {
        StderrCapture capture(scratch("down"));
        LogWithDate("while down %d%%", 100);
        EXPECT_FALSE(LogServerRunning());
        std::string console = capture.finish();
        EXPECT_TRUE(Matches(console, kStamp + "  webdav:  while down 100%\n")) << console;
    }

    StderrCapture capture(scratch("up"));
    auto second = StartLogServer();
    LogWithDate("back up");
    EXPECT_TRUE(Matches(ServerLog(), kStamp + "  webdav:  back up\n")) << ServerLog();
    // The client still holds a proxy bound to the second server when the next line
    // starts: that line must notice, look the name up once more and arrive.
    StopLogServer(second);
    auto third = StartLogServer();
    LogWithDate("to the third");
    EXPECT_TRUE(Matches(ServerLog(), kStamp + "  webdav:  to the third\n")) << ServerLog();
    EXPECT_EQ(capture.finish(), "");
    LogCleanup();
}

TEST_F(LogClientTest, FormatsWithPercentSignsArriveIntact)
{
    const std::string big(5000, 'x');
    const std::vector<std::pair<std::string, std::function<void()>>> cases = {
        {"100% sure\n", [] { LogPrintf("100%% sure\n"); }},
        {"50% off %s %n %@ %%\n", [] { LogPrintf("%@\n", "50% off %s %n %@ %%"); }},
        {"7-obj-str|%@|\n", [] { LogPrintf("%d-%@-%s|%%@|\n", 7, "obj", "str"); }},
        {"[(null)][  ab][ab  ][abc]\n",
         [] { LogPrintf("[%@][%4@][%-4@][%.3@]\n", static_cast<const char*>(nullptr), "ab", "ab", "abcdef"); }},
        {big + "|" + big + "\n", [&big] { LogPrintf("%@|%s\n", big.c_str(), big.c_str()); }},
        {"%d %s %@ taken as it stands", [] { LogRawString("%d %s %@ taken as it stands"); }},
    };
    auto server = StartLogServer();
    LogInit(kServer, "webdav");
    for (const auto& [expected, log] : cases) {
        LogClear();
        log();
        EXPECT_EQ(ServerLog(), expected);
    }
    LogCleanup();
    EXPECT_FALSE(LogGetCurrentLog()); // not initialised any more
}

TEST_F(LogClientTest, LineTheBusCannotCarryGoesToConsoleUnchanged)
{
    auto server = StartLogServer();
    LogInit(kServer, "webdav");
    StderrCapture capture(scratch("stderr"));
    std::string expected;
    for (const std::string& line : {"bad byte \xff here\n"s, "nul\0inside\n"s, "cut \xe2\x82 sequence\n"s}) {
        LogRawString(line);
        expected += line;
    }
    EXPECT_EQ(capture.finish(), expected);
    // The connection was left alone and keeps carrying good lines, UTF-8 included.
    LogPrintf("caf\xc3\xa9 \xf0\x9f\x93\xb1\n");
    EXPECT_EQ(ServerLog(), "caf\xc3\xa9 \xf0\x9f\x93\xb1\n");
    LogCleanup();
}

TEST_F(LogClientTest, SecondInitKeepsFirstNamesAndLastCleanupEndsTheClient)
{
    auto server = StartLogServer();
    LogInit(kServer, "first");
    LogInit("SomeOtherServer", "second");
    LogCleanup();
    LogWithDate("still initialised");
    SetApplicationNameForLog(nullptr);
    LogWithDate("nameless");
    EXPECT_TRUE(Matches(ServerLog(), kStamp + "  first:  still initialised\n" + kStamp + ":  nameless\n"))
        << ServerLog();

    LogCleanup();
    StderrCapture capture(scratch("after"));
    LogWithDate("after the last cleanup");
    EXPECT_FALSE(LogServerRunning());
    std::string console = capture.finish();
    EXPECT_TRUE(Matches(console, kStamp + ":  after the last cleanup\n")) << console;
}

TEST_F(LogClientTest, LinesFromSeveralThreadsArriveWholeAndOnce)
{
    auto server = StartLogServer();
    LogInit(kServer, "webdav");
    StderrCapture capture(scratch("stderr"));
    std::multiset<std::string> expected;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        for (int i = 0; i < 50; ++i)
            expected.insert("thread " + std::to_string(t) + " line " + std::to_string(i) + " long enough to tear");
        threads.emplace_back([t] {
            for (int i = 0; i < 50; ++i)
                LogPrintf("thread %d line %d long enough to tear\n", t, i);
        });
    }
    for (auto& thread : threads)
        thread.join();
    // A line may have gone to the console if its thread waited past a second's end;
    // between the two every line must be there once, whole.
    std::istringstream in(ServerLog() + capture.finish());
    std::multiset<std::string> seen;
    for (std::string line; std::getline(in, line);)
        seen.insert(line);
    EXPECT_TRUE(seen == expected);
    LogCleanup();
}

// A log server inside the test whose getLog takes its time, so that the client's
// lock stays held by the thread that asked for it.
class SlowLogServer {
public:
    explicit SlowLogServer(std::chrono::milliseconds delay) : host_(kServer)
    {
        const std::string interface = platform::ProtocolInterfaceName(kLogProtocol);
        auto& object = host_.rootObject();
        object.registerMethod(LogMethod::log)
            .onInterface(interface)
            .implementedAs([this](const std::string& line) {
                std::lock_guard<std::mutex> guard(mutex_);
                lines_ += line;
            })
            .withNoReply();
        // Answers at once: a client that waited for the lock would get its answer.
        object.registerMethod(LogMethod::ping).onInterface(interface).implementedAs([](const std::string& t) { return t; });
        object.registerMethod(LogMethod::getLog).onInterface(interface).implementedAs([this, delay] {
            entered = true;
            std::this_thread::sleep_for(delay);
            return std::string("slow");
        });
        object.finishRegistration();
        thread_ = std::thread([this] { host_.run(); });
    }
    ~SlowLogServer() { host_.stop(); thread_.join(); }
    bool received(const std::string& text)
    {
        std::lock_guard<std::mutex> guard(mutex_);
        return lines_.find(text) != std::string::npos;
    }

    std::atomic<bool> entered{false};

private:
    platform::ServiceHost host_;
    std::thread thread_;
    std::mutex mutex_;
    std::string lines_;
};

// A line that cannot have the lock within its wait goes to the console instead of
// piling up behind the exchange that holds it; the wait is cut short here so the
// holder need not outlast a whole second.
TEST_F(LogClientTest, LockHeldPastTheWaitSendsLineToConsoleWithoutWaitingLonger)
{
    SlowLogServer server(1000ms);
    LogInit(kServer, "webdav");
    LogSetLockWaitLimit(20ms);
    LogWithDate("connect first");
    EXPECT_TRUE(WaitFor([&] { return server.received("connect first"); }, 5s));
    std::thread holder([] { EXPECT_EQ(ServerLog(), "slow"); });
    EXPECT_TRUE(WaitFor([&] { return server.entered.load(); }, 5s));

    // Both give up at the second's end instead of waiting out the held exchange.
    StderrCapture capture(scratch("stderr"));
    LogWithDate("while the lock is held");
    EXPECT_FALSE(LogServerReallyRunning());
    std::string console = capture.finish();
    EXPECT_TRUE(Matches(console, kStamp + "  webdav:  while the lock is held\n")) << console;

    holder.join();
    // The lock is free again: lines go to the server, and the refused one never did.
    LogWithDate("after the holder");
    EXPECT_TRUE(WaitFor([&] { return server.received("after the holder"); }, 5s));
    EXPECT_FALSE(server.received("while the lock is held"));
    LogSetLockWaitLimit(std::nullopt);
    LogCleanup();
}

} // namespace

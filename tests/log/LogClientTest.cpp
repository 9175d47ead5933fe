// The log client against the real log server on a private session bus, and against
// no server at all (the console log, caught from standard error).

#include "log/LogClient.h"
#include "log/LogProtocol.h"
#include "platform/NamedService.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <regex>
#include <set>
#include <thread>

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

// The console log writes to standard error unbuffered; gtest's capture takes it.
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

class LogClientTest : public testing::Test {
protected:
    PrivateBus bus_;
};

// With nobody holding the name, a line goes to the console; once a server runs,
// lines reach it, and go back to the console when it stops (a server started after
// one went away is met by the activation tests). The stamp is the local time, here
// in a zone with a half-hour offset; the other tests do not depend on the zone.
TEST_F(LogClientTest, WithoutServerLinesGoToConsoleInLocalTimeThenToTheServer)
{
    ::setenv("TZ", "Asia/Kolkata", 1);
    ::tzset();
    LogInit(kServer, "webdav");
    // The bounds come from the clock the stamp is taken from: time() reads a
    // coarser clock that can still show the last second when the stamp shows the next.
    using Clock = std::chrono::system_clock;
    time_t before = Clock::to_time_t(Clock::now());
    CaptureStderr();
    LogWithDate("got a connection from %@ on port %d", "127.0.0.1", 8080);
    const std::string console = GetCapturedStderr();
    std::set<std::string> allowed; // worked out from the C library, not the client's formatter
    for (time_t t = before; t <= Clock::to_time_t(Clock::now()); ++t) {
        struct tm local {};
        char stamp[64];
        std::strftime(stamp, sizeof stamp, "%-m/%-d/%y %H:%M:%S", localtime_r(&t, &local));
        allowed.insert(stamp + std::string("  webdav:  got a connection from 127.0.0.1 on port 8080\n"));
    }
    EXPECT_TRUE(allowed.count(console)) << console;
    EXPECT_FALSE(LogServerReallyRunning());

    auto server = StartLogServer();
    CaptureStderr();
    LogWithDate("while up %d%%", 100);
    EXPECT_TRUE(Matches(ServerLog(), kStamp + "  webdav:  while up 100%\n")) << ServerLog();
    EXPECT_EQ(GetCapturedStderr(), "");

    // The proxy still names the stopped server: the line is not lost with it.
    server.stop();
    ASSERT_TRUE(WaitFor([] { return !ServiceRegistered(kServer); }));
    CaptureStderr();
    LogWithDate("while down");
    EXPECT_TRUE(Matches(GetCapturedStderr(), kStamp + "  webdav:  while down\n"));
    LogCleanup();
}

// Formats with percent signs arrive intact, a line the bus cannot carry goes to
// the console unchanged, and the client lives from the first LogInit, whose names
// it keeps, to the last LogCleanup.
TEST_F(LogClientTest, LinesArriveAsWrittenFromTheFirstInitToTheLastCleanup)
{
    const std::string big(5000, 'x');
    const std::vector<std::pair<std::string, std::function<void()>>> cases = {
        {"50% off %s %n %@ %%\n", [] { LogPrintf("%@\n", "50% off %s %n %@ %%"); }},
        {"7-obj-str|%@|\n", [] { LogPrintf("%d-%@-%s|%%@|\n", 7, "obj", "str"); }},
        {"[(null)][  ab][ab  ][abc]\n",
         [] { LogPrintf("[%@][%4@][%-4@][%.3@]\n", static_cast<const char*>(nullptr), "ab", "ab", "abcdef"); }},
        {big + "|" + big + "\n", [&big] { LogPrintf("%@|%s\n", big.c_str(), big.c_str()); }},
        {"%d %s %@ taken as it stands", [] { LogRawString("%d %s %@ taken as it stands"); }},
    };
    auto server = StartLogServer();
    LogInit(kServer, "first");
    LogInit("SomeOtherServer", "second");
    LogCleanup();
    for (const auto& [expected, log] : cases) {
        LogClear();
        log();
        EXPECT_EQ(ServerLog(), expected);
    }

    CaptureStderr();
    std::string expected;
    for (const std::string& line : {"bad byte \xff here\n"s, "nul\0inside\n"s, "cut \xe2\x82 sequence\n"s}) {
        LogRawString(line);
        expected += line;
    }
    EXPECT_EQ(GetCapturedStderr(), expected);
    // The connection was left alone and keeps carrying good lines, UTF-8 included.
    LogClear();
    LogWithDate("caf\xc3\xa9 \xf0\x9f\x93\xb1");
    SetApplicationNameForLog(nullptr);
    LogWithDate("nameless");
    EXPECT_TRUE(Matches(ServerLog(), kStamp + "  first:  caf\xc3\xa9 \xf0\x9f\x93\xb1\n" + kStamp + ":  nameless\n"))
        << ServerLog();

    LogCleanup();
    EXPECT_FALSE(LogGetCurrentLog());
    CaptureStderr();
    LogWithDate("after the last cleanup");
    EXPECT_FALSE(LogServerRunning());
    std::string console = GetCapturedStderr();
    EXPECT_TRUE(Matches(console, kStamp + ":  after the last cleanup\n")) << console;
}

// A line that cannot have the lock within its wait goes to the console instead of
// piling up behind the exchange that holds it; the wait is cut short here, and the
// server answers getLog a second late so that the exchange holds the lock that long.
TEST_F(LogClientTest, LockHeldPastTheWaitSendsLineToConsoleWithoutWaitingLonger)
{
    auto server = StartService({BinPath("pavrix-logserver")}, kServer,
                               {.env = {{"PAVRIX_LOGSERVER_GETLOG_DELAY_MS", "1000"}}});
    LogInit(kServer, "webdav");
    LogSetLockWaitLimit(20ms);
    ASSERT_TRUE(LogServerReallyRunning());
    auto probe = platform::ServiceProxy::lookUp(kServer, kLogProtocol, platform::ServiceProxy::Activation::never);
    ASSERT_TRUE(probe);
    probe->setReplyTimeout(250ms);
    std::thread holder([] { EXPECT_EQ(ServerLog(), ""); });
    // The server answers nothing else while it delays the holder's getLog; asked on
    // a connection of its own, so as not to contend for the client's lock.
    EXPECT_TRUE(WaitFor([&] {
        try {
            probe->call<std::string>(LogMethod::ping, std::string("busy?"));
            return false;
        } catch (const platform::NamedException&) {
            return true; // no answer in time
        }
    }, 5s));
    EXPECT_FALSE(LogServerReallyRunning()) << "the client waited past its limit";

    CaptureStderr();
    LogWithDate("while the lock is held");
    std::string console = GetCapturedStderr();
    EXPECT_TRUE(Matches(console, kStamp + "  webdav:  while the lock is held\n")) << console;

    holder.join();
    // The lock is free again: lines go to the server, and the refused one never did.
    LogWithDate("after the holder");
    EXPECT_TRUE(Matches(ServerLog(), kStamp + "  webdav:  after the holder\n")) << ServerLog();
    LogSetLockWaitLimit(std::nullopt);
    LogCleanup();
}

} // namespace

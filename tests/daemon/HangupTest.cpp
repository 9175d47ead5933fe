// SIGHUP, end to end: the flag, the log line, the mirror folder, and a daemon that
// keeps accepting.

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <csignal>
#include <unistd.h>

using namespace testsupport;

namespace {

std::map<std::string, std::optional<std::string>> DebugNoBus()
{
    return {{"DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/bus"},
            {"XDG_RUNTIME_DIR", std::nullopt},
            {"PAVRIX_DEVICE", std::nullopt},
            {"PAVRIX_LOG_DEBUG", "1"}};
}

size_t Count(const std::string& text, const std::string& what)
{
    size_t n = 0;
    for (size_t pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1))
        ++n;
    return n;
}

} // namespace

TEST(Hangup, RemovesTheMirrorLogsEachTimeAndKeepsAccepting)
{
    TempDir home;
    std::string mirror = home / "Library/Caches/pxwm_mirroredfs";
    Daemon daemon(home.path(), DebugNoBus());
    ASSERT_TRUE(IsDirectory(mirror));
    WriteFile(mirror + "/._note", "metadata");

    daemon.process().signal(SIGHUP);
    EXPECT_TRUE(WaitFor([&] { return !PathExists(mirror); }));
    EXPECT_TRUE(WaitFor([&] { return Count(daemon.stderrText(), "recieved SIGHUP signal") == 1; }))
        << daemon.stderrText();

    // The blocked accept was interrupted; the daemon accepts again.
    EXPECT_EQ(ParseResponse(daemon.request("OPTIONS /vol/ HTTP/1.1\r\n\r\n")).status(), 200);

    // A second hang-up finds no mirror folder and does no harm.
    daemon.process().signal(SIGHUP);
    EXPECT_TRUE(WaitFor([&] { return Count(daemon.stderrText(), "recieved SIGHUP signal") == 2; }))
        << daemon.stderrText();
    EXPECT_FALSE(PathExists(mirror));
    int fd = ConnectLoopback(daemon.port());
    ASSERT_GE(fd, 0);
    ::close(fd);
    EXPECT_TRUE(daemon.process().running());
}

// SIGHUP, end to end: the flag, the log line, the mirror folder, and a daemon that
// keeps accepting.

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <csignal>

using namespace testsupport;

namespace {

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
    Daemon daemon(home.path(), NoBusEnv(true));
    ASSERT_TRUE(IsDirectory(mirror));
    WriteFile(mirror + "/._note", "metadata");

    for (size_t hangUps = 1; hangUps <= 2; ++hangUps) { // the second finds no mirror folder
        daemon.process().signal(SIGHUP);
        EXPECT_TRUE(WaitFor([&] { return Count(daemon.stderrText(), "recieved SIGHUP signal") == hangUps; }))
            << daemon.stderrText();
        EXPECT_TRUE(WaitFor([&] { return !PathExists(mirror); }));
        // The blocked accept was interrupted; the daemon accepts again.
        EXPECT_EQ(ParseResponse(daemon.request("OPTIONS /vol/ HTTP/1.1\r\n\r\n")).status(), 200);
    }
}

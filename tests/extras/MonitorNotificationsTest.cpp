// The sync notifications to the monitor process, on a private session bus.

#include "extras/MonitorNotifications.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

using namespace testsupport;

TEST(MonitorNotifications, TheMonitorCountsEachNotification)
{
    TempDir dir;
    PrivateBus bus;
    auto monitor = StartService({BinPath("pavrix-monitor")}, kMonitorServerName, {.stdoutFile = dir / "monitor.log"});
    syncStart();
    syncComplete();
    syncStart();
    syncComplete();
    const std::string expected = "syncStart 1\nsyncComplete 2\nsyncStart 3\nsyncComplete 4\n";
    WaitFor([&] { return ReadFile(dir / "monitor.log").size() >= expected.size(); }, std::chrono::seconds(5));
    EXPECT_EQ(ReadFile(dir / "monitor.log"), expected);
}

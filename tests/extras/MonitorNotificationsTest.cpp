#include "extras/MonitorNotifications.h"

#include "platform/NamedService.h"
#include "prefs/PrefWireFormat.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

using testsupport::ChildProcess;

namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

class MonitorNotificationsTest : public ::testing::Test {
protected:
    testsupport::TempDir dir;
    testsupport::PrivateBus bus;

    ChildProcess startMonitor(const std::string& log)
    {
        ChildProcess::Options options;
        options.stdoutFile = dir / log;
        options.stderrFile = dir / (log + ".err");
        ChildProcess monitor({testsupport::BinPath("pavrix-monitor")}, options);
        EXPECT_TRUE(testsupport::WaitFor([] { return testsupport::ServiceRegistered(kMonitorServerName); }));
        return monitor;
    }

    std::vector<std::string> lines(const std::string& log) const
    {
        std::vector<std::string> out;
        std::istringstream in(testsupport::ReadFile(dir / log));
        for (std::string line; std::getline(in, line);)
            out.push_back(line);
        return out;
    }
};

} // namespace

TEST_F(MonitorNotificationsTest, MonitorCountsEachNotification)
{
    ChildProcess monitor = startMonitor("monitor.log");
    syncStart();
    syncComplete();
    syncStart();
    syncComplete();
    const std::vector<std::string> expected{"syncStart 1", "syncComplete 2", "syncStart 3", "syncComplete 4"};
    EXPECT_TRUE(testsupport::WaitFor([&] { return lines("monitor.log").size() >= expected.size(); },
                                     std::chrono::seconds(5)));
    EXPECT_EQ(lines("monitor.log"), expected);
}

TEST_F(MonitorNotificationsTest, EachCallLooksTheMonitorUpAfresh)
{
    ChildProcess first = startMonitor("first.log");
    syncStart();
    ASSERT_TRUE(testsupport::WaitFor([&] { return !lines("first.log").empty(); }, std::chrono::seconds(5)));
    first.stop();

    // Between monitors, a notification goes nowhere and costs nothing.
    auto start = Clock::now();
    syncComplete();
    EXPECT_LT(SecondsSince(start), 1.0);

    ChildProcess second = startMonitor("second.log");
    syncComplete();
    EXPECT_TRUE(testsupport::WaitFor([&] { return !lines("second.log").empty(); }, std::chrono::seconds(5)));
    EXPECT_EQ(lines("second.log"), std::vector<std::string>{"syncComplete 1"});
    EXPECT_EQ(lines("first.log"), std::vector<std::string>{"syncStart 1"});
}

TEST_F(MonitorNotificationsTest, NoMonitorOrNoBusReturnsAtOnce)
{
    auto start = Clock::now();
    for (int i = 0; i < 5; ++i) {
        syncStart();
        syncComplete();
    }
    EXPECT_LT(SecondsSince(start), 2.0);

    // No session bus at all.
    std::string saved = bus.address();
    ::setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + (dir / "no-such-bus")).c_str(), 1);
    start = Clock::now();
    syncStart();
    syncComplete();
    EXPECT_LT(SecondsSince(start), 1.0);
    ::setenv("DBUS_SESSION_BUS_ADDRESS", saved.c_str(), 1);
}

TEST_F(MonitorNotificationsTest, MonitorAnswersTheOtherMessagesEmpty)
{
    ChildProcess monitor = startMonitor("monitor.log");
    auto proxy = platform::ServiceProxy::lookUp(kMonitorServerName, kFrameworkToMonitorProtocol);
    ASSERT_TRUE(proxy);

    auto value = proxy->call<PrefWireValue>("getValueFromDeviceListForKey",
                                            EncodePrefValue(platform::PlistObject::string("DeviceName")));
    EXPECT_FALSE(DecodePrefValue(value));
    EXPECT_FALSE(DecodePrefValue(proxy->call<PrefWireValue>("pimChangedUIDs", uint32_t{2})));
    EXPECT_FALSE(DecodePrefValue(proxy->call<PrefWireValue>("pimUnchangedUIDs", uint32_t{3})));
    EXPECT_FALSE(proxy->call<bool>("pimDataReady", uint32_t{4}));
    proxy->sendOneway("ackObjectID", int32_t{-1}, uint32_t{5});

    // Two results: the object and the new value of the caller's out parameter.
    auto connection = sdbus::createSessionBusConnection();
    auto raw = sdbus::createProxy(*connection, platform::ServiceBusName(kMonitorServerName), "/");
    PrefWireValue object;
    uint32_t lock = 77;
    raw->callMethod("devicePasswordAndRapiLock")
        .onInterface(platform::ProtocolInterfaceName(kFrameworkToMonitorProtocol))
        .withArguments(uint32_t{6})
        .storeResultsTo(object, lock);
    EXPECT_FALSE(DecodePrefValue(object));
    EXPECT_EQ(lock, 0u);

    syncStart();
    const std::vector<std::string> expected{"getValueFromDeviceListForKey object",
                                            "pimChangedUIDs 2",
                                            "pimUnchangedUIDs 3",
                                            "pimDataReady 4",
                                            "ackObjectID -1 5",
                                            "devicePasswordAndRapiLock 6",
                                            "syncStart 1"};
    EXPECT_TRUE(testsupport::WaitFor([&] { return lines("monitor.log").size() >= expected.size(); },
                                     std::chrono::seconds(5)));
    EXPECT_EQ(lines("monitor.log"), expected);
}

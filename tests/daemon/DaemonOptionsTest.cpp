// The options the daemon reads from its environment once at start, and the device
// it chooses from them.

#include "daemon/AttachedDevice.h"
#include "daemon/DaemonOptions.h"
#include "pavrixwm/EmulatedDevice.h"
#include "pavrixwm/LinkDevice.h"
#include "platform/HomeFolder.h"
#include "support/SimulatedHandheld.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <map>

using namespace std::chrono_literals;

namespace {

using Variables = std::map<std::string, std::string>;

DaemonOptions From(const Variables& variables)
{
    return DaemonOptions::from([&](const char* name) -> std::optional<std::string> {
        auto found = variables.find(name);
        return found == variables.end() ? std::nullopt : std::optional(found->second);
    });
}

} // namespace

TEST(DaemonOptions, EachVariableWithItsDefault)
{
    const std::string passwdHome = platform::HomeFolder(std::nullopt);
    ASSERT_FALSE(passwdHome.empty());
    struct Case {
        Variables variables;
        std::string home;
        std::optional<std::string> device, trace, linkAddress;
        bool debug, standard;
    } cases[] = {
        {{}, passwdHome, std::nullopt, std::nullopt, std::nullopt, false, false},
        {{{"HOME", ""}, {"PAVRIX_DEVICE", ""}, {"PAVRIX_DEVICE_TRACE", ""}, {"PAVRIX_LINK_ADDRESS", ""}},
         passwdHome, std::nullopt, std::nullopt, std::nullopt, false, false},
        {{{"HOME", "/h"}, {"PAVRIX_DEVICE", "/d"}, {"PAVRIX_DEVICE_TRACE", "/t"}, {"PAVRIX_LOG_DEBUG", "1"},
          {"PAVRIX_STANDARD_DAV", "1"}, {"PAVRIX_LINK_ADDRESS", "127.0.0.1"}},
         "/h", "/d", "/t", "127.0.0.1", true, true},
        // A switch is on for "1" only.
        {{{"PAVRIX_LOG_DEBUG", "yes"}, {"PAVRIX_STANDARD_DAV", "yes"}}, passwdHome, {}, {}, {}, false, false},
        {{{"PAVRIX_LOG_DEBUG", "0"}, {"PAVRIX_STANDARD_DAV", "true"}}, passwdHome, {}, {}, {}, false, false},
        {{{"PAVRIX_LOG_DEBUG", "1 "}, {"PAVRIX_STANDARD_DAV", "11"}}, passwdHome, {}, {}, {}, false, false},
    };
    for (const auto& c : cases) {
        auto options = From(c.variables);
        SCOPED_TRACE(testing::PrintToString(c.variables));
        EXPECT_EQ(options.homeFolder, c.home);
        EXPECT_EQ(options.deviceFolder, c.device);
        EXPECT_EQ(options.deviceTrace, c.trace);
        EXPECT_EQ(options.link.desktopAddress, c.linkAddress);
        EXPECT_EQ(options.logDebug, c.debug);
        EXPECT_EQ(options.standardDav, c.standard);
    }
    auto link = From({{"PAVRIX_LINK_DEVICE", "a"}, {"PAVRIX_LINK_PORTS", "b"}, {"PAVRIX_LINK_DEVICE_PORTS", "c"},
                      {"XDG_RUNTIME_DIR", "/run/user/9"}})
                    .link;
    EXPECT_EQ(link.deviceAddress, "a");
    EXPECT_EQ(link.ports, "b");
    EXPECT_EQ(link.devicePorts, "c");
    EXPECT_EQ(link.runtimeFolder, "/run/user/9");
}

// A link named wins over the device folder, attached or not; a folder without fs/
// or a link that is no address is no device at all.
TEST(DaemonOptions, TheDeviceIsChosenOnceFromTheOptions)
{
    testsupport::DeviceFolder folder, linked;
    testsupport::TempDir bare;
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

    testsupport::SimulatedHandheld handheld(linked.path(), "rndis");
    options.link = handheld.linkOptions();
    auto device = OpenAttachedDevice(options, std::nullopt, std::nullopt);
    ASSERT_TRUE(std::dynamic_pointer_cast<LinkDevice>(device));
    EXPECT_TRUE(testsupport::WaitFor([&] { return device->description()["DeviceName"] == "Simulated"; }, 15s))
        << handheld.stderrText();
}

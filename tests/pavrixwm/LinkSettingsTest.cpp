// Where the link is, from the options and what was handed over at start.

#include "pavrixwm/LinkSettings.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

TEST(LinkSettings, AddressesAndPortsFromTheOptionsWithTheirDefaults)
{
    struct Case {
        const char* what;
        std::optional<std::string> desktop, device, ports, devicePorts, handOff;
        std::optional<std::string> expectedDevice; // none: no link at all
        uint16_t control, info, wake, rapi;
    } cases[] = {
        {"no link", std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt, 0, 0, 0, 0},
        {"not an address", "usb0", std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt, 0, 0, 0, 0},
        {"newer handheld", "169.254.2.2", std::nullopt, std::nullopt, std::nullopt, std::nullopt, "169.254.2.1", 990,
         5679, 5679, 990},
        {"older handheld", "192.168.131.1", std::nullopt, std::nullopt, std::nullopt, std::nullopt, "192.168.131.129",
         990, 5679, 5679, 990},
        {"second older handheld", "192.168.131.2", std::nullopt, std::nullopt, std::nullopt, std::nullopt,
         "192.168.131.130", 990, 5679, 5679, 990},
        {"handed over", "169.254.2.2", std::nullopt, std::nullopt, std::nullopt, "169.254.2.9", "169.254.2.9", 990, 5679,
         5679, 990},
        {"named beats handed over", "127.0.0.1", "127.0.0.2", "20990,25679", "25680,20991", "169.254.2.9", "127.0.0.2",
         20990, 25679, 25680, 20991},
        {"malformed ports keep the defaults", "127.0.0.1", "127.0.0.1", "990", "5679,0", std::nullopt, "127.0.0.1", 990,
         5679, 5679, 990},
        {"ports out of range", "127.0.0.1", "127.0.0.1", "70000,1", "a,b", std::nullopt, "127.0.0.1", 990, 5679, 5679,
         990},
    };
    for (const auto& c : cases) {
        auto settings = LinkSettings::fromOptions({c.desktop, c.device, c.ports, c.devicePorts, "/run/user/7"},
                                                  c.handOff, std::string("pw"));
        ASSERT_EQ(settings.has_value(), c.expectedDevice.has_value()) << c.what;
        if (!settings)
            continue;
        EXPECT_EQ(settings->deviceAddress, *c.expectedDevice) << c.what;
        EXPECT_EQ(settings->controlPort, c.control) << c.what;
        EXPECT_EQ(settings->infoPort, c.info) << c.what;
        EXPECT_EQ(settings->wakePort, c.wake) << c.what;
        EXPECT_EQ(settings->rapiPort, c.rapi) << c.what;
        EXPECT_EQ(settings->password, std::optional<std::string>("pw")) << c.what;
        EXPECT_EQ(settings->handOffPath, std::optional<std::string>("/run/user/7/pavrix-link.sock")) << c.what;
    }
    LinkOptions link;
    link.desktopAddress = "169.254.2.2";
    auto settings = LinkSettings::fromOptions(link, std::nullopt, std::string());
    EXPECT_EQ(settings->password, std::nullopt) << "an empty password handed over is no password";
    EXPECT_EQ(settings->handOffPath, std::nullopt) << "no runtime folder, no listener to ask";
}

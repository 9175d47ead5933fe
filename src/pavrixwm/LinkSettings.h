#pragma once

// Where the handheld's link is and how to unlock it: the desktop's address on the
// link (PAVRIX_LINK_ADDRESS), the handheld's (PAVRIX_LINK_DEVICE, else the address
// handed over at start, else 169.254.2.1, or the desktop's + 128 on a
// 192.168.131.x link), the desktop's control and info ports (PAVRIX_LINK_PORTS,
// "990,5679"), the handheld's wake and remote-call ports
// (PAVRIX_LINK_DEVICE_PORTS, "5679,990"), and the password handed over at start.

#include <cstdint>
#include <optional>
#include <string>

struct LinkSettings {
    std::string desktopAddress;
    std::string deviceAddress;
    uint16_t controlPort = 990;
    uint16_t infoPort = 5679;
    uint16_t wakePort = 5679;
    uint16_t rapiPort = 990;
    std::optional<std::string> password;

    // None when PAVRIX_LINK_ADDRESS is unset or empty (no link); a malformed port
    // list keeps the defaults.
    static std::optional<LinkSettings> fromEnvironment(const std::optional<std::string>& handOffAddress,
                                                       const std::optional<std::string>& handOffPassword);
    // The handheld's address when nothing names it.
    static std::string defaultDeviceAddress(const std::string& desktopAddress);
};

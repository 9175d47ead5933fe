#pragma once

// Where the handheld's link is and how to unlock it: the desktop's address on the
// link (PAVRIX_LINK_ADDRESS), the handheld's (PAVRIX_LINK_DEVICE, else the address
// handed over at start, else 169.254.2.1, or the desktop's + 128 on a
// 192.168.131.x link), the desktop's control and info ports (PAVRIX_LINK_PORTS,
// "990,5679"), the handheld's wake and remote-call ports
// (PAVRIX_LINK_DEVICE_PORTS, "5679,990"), the password handed over at start, and
// the socket of the privileged listener that may hand connections over (in the
// user's runtime folder, XDG_RUNTIME_DIR).

#include <cstdint>
#include <optional>
#include <string>

// The link's variables as the process was started with them; each none when
// unset or empty.
struct LinkOptions {
    std::optional<std::string> desktopAddress; // PAVRIX_LINK_ADDRESS
    std::optional<std::string> deviceAddress;  // PAVRIX_LINK_DEVICE
    std::optional<std::string> ports;          // PAVRIX_LINK_PORTS
    std::optional<std::string> devicePorts;    // PAVRIX_LINK_DEVICE_PORTS
    std::optional<std::string> runtimeFolder;  // XDG_RUNTIME_DIR
};

struct LinkSettings {
    std::string desktopAddress;
    std::string deviceAddress;
    uint16_t controlPort = 990;
    uint16_t infoPort = 5679;
    uint16_t wakePort = 5679;
    uint16_t rapiPort = 990;
    std::optional<std::string> password;
    // The privileged listener's socket; none without a runtime folder.
    std::optional<std::string> handOffPath;

    // None when the options name no desktop address, or not an address (no link);
    // a malformed port list keeps the defaults.
    static std::optional<LinkSettings> fromOptions(const LinkOptions& options,
                                                   const std::optional<std::string>& handOffAddress,
                                                   const std::optional<std::string>& handOffPassword);
    // The handheld's address when nothing names it.
    static std::string defaultDeviceAddress(const std::string& desktopAddress);
};

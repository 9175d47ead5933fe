#include "pavrixwm/LinkSettings.h"

#include "pavrixwm/LinkHandOff.h"

#include <arpa/inet.h>

namespace {

bool ParsePort(const std::string& text, uint16_t& port)
{
    if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    unsigned long value = std::stoul(text);
    if (value == 0 || value > 65535)
        return false;
    port = static_cast<uint16_t>(value);
    return true;
}

// "a,b" into two ports; both kept as they were unless both parse.
void ParsePorts(const std::optional<std::string>& text, uint16_t& first, uint16_t& second)
{
    if (!text)
        return;
    auto comma = text->find(',');
    uint16_t a = 0, b = 0;
    if (comma == std::string::npos || !ParsePort(text->substr(0, comma), a) || !ParsePort(text->substr(comma + 1), b))
        return;
    first = a;
    second = b;
}

bool IsAddress(const std::string& text)
{
    in_addr address;
    return ::inet_pton(AF_INET, text.c_str(), &address) == 1;
}

} // namespace

std::string LinkSettings::defaultDeviceAddress(const std::string& desktopAddress)
{
    in_addr address;
    if (::inet_pton(AF_INET, desktopAddress.c_str(), &address) == 1) {
        uint32_t host = ntohl(address.s_addr);
        if ((host & 0xFFFFFF00) == 0xC0A88300 && (host & 0xFF) < 128) { // 192.168.131.x
            address.s_addr = htonl(host + 128);
            char text[INET_ADDRSTRLEN];
            if (::inet_ntop(AF_INET, &address, text, sizeof text))
                return text;
        }
    }
    return "169.254.2.1";
}

std::optional<LinkSettings> LinkSettings::fromOptions(const LinkOptions& options,
                                                      const std::optional<std::string>& handOffAddress,
                                                      const std::optional<std::string>& handOffPassword)
{
    const auto& desktop = options.desktopAddress;
    if (!desktop || !IsAddress(*desktop))
        return std::nullopt;
    LinkSettings settings;
    settings.desktopAddress = *desktop;
    if (const auto& device = options.deviceAddress; device && IsAddress(*device))
        settings.deviceAddress = *device;
    else if (handOffAddress && IsAddress(*handOffAddress))
        settings.deviceAddress = *handOffAddress;
    else
        settings.deviceAddress = defaultDeviceAddress(*desktop);
    ParsePorts(options.ports, settings.controlPort, settings.infoPort);
    ParsePorts(options.devicePorts, settings.wakePort, settings.rapiPort);
    settings.handOffPath = LinkHandOffPath(options.runtimeFolder);
    if (handOffPassword && !handOffPassword->empty())
        settings.password = handOffPassword;
    return settings;
}

#include "pavrixwm/RapiBase.h"

#include "pavrixwm/EmulatedDevice.h"
#include "pavrixwm/LinkDevice.h"
#include "pavrixwm/LinkManager.h"
#include "platform/ConsoleLog.h"

#include <cstdio>
#include <cstdlib>

std::optional<std::vector<std::map<std::string, std::string>>> RapiBase::availableDevices()
{
    // Over a link the list holds the handheld attached now, if any.
    const char* link = std::getenv("PAVRIX_LINK_ADDRESS");
    if (link && *link) {
        auto manager = LinkManager::processWide();
        auto info = manager ? manager->device() : std::nullopt;
        if (!info)
            return std::nullopt;
        return std::vector<std::map<std::string, std::string>>{LinkDevice::describe(*info)};
    }
    auto device = EmulatedDevice::fromEnvironment();
    if (!device)
        return std::nullopt;
    return std::vector<std::map<std::string, std::string>>{device->description()};
}

void RapiBase::logReadPacket(const char* call, const uint8_t* bytes, size_t length) const
{
    if (!readPacketLogging_)
        return;
    // A whole file read would flood the console; the head of a packet is what one
    // looks at when a reply is malformed.
    constexpr size_t kShown = 64;
    std::string line = std::string("read packet ") + call + " (" + std::to_string(length) + " bytes):";
    char hex[4];
    for (size_t i = 0; i < length && i < kShown; ++i) {
        std::snprintf(hex, sizeof hex, " %02x", bytes[i]);
        line += hex;
    }
    if (length > kShown)
        line += " ...";
    platform::ConsoleLogWrite(line + "\n");
}

#include "pavrixwm/RapiBase.h"

#include "platform/ConsoleLog.h"

#include <cstdio>

std::optional<std::vector<std::map<std::string, std::string>>> RapiBase::availableDevices()
{
    // A device that is not there (none named, a link without its handheld)
    // describes itself with nothing.
    auto description = target()->description();
    if (description.empty())
        return std::nullopt;
    return std::vector<std::map<std::string, std::string>>{std::move(description)};
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

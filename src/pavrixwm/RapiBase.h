#pragma once

// What every device session shares: the device it is over, the list of attached
// devices, and the switch for logging the packets read from the device.

#include "pavrixwm/DeviceBackendWrapper.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class RapiBase : public DeviceBackendWrapper {
public:
    explicit RapiBase(std::shared_ptr<DeviceBackend> target) : DeviceBackendWrapper(std::move(target)) {}

    // The devices attached now, each described by text keys ("DeviceClass",
    // "DeviceName", "DevicePath"); none when no device is attached (a handheld on
    // the link counts only while it is there).
    std::optional<std::vector<std::map<std::string, std::string>>> availableDevices();

    // While on, the session writes every block it reads from the device (file reads,
    // invocation replies) to the console log as hexadecimal.
    void setReadPacketLogging(bool on) { readPacketLogging_ = on; }
    bool readPacketLogging() const { return readPacketLogging_; }

protected:
    void logReadPacket(const char* call, const uint8_t* bytes, size_t length) const;

private:
    bool readPacketLogging_ = false;
};

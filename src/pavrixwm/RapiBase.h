#pragma once

// What every device session shares: the list of attached devices and the switch
// for logging the packets read from the device.

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

class RapiBase {
public:
    virtual ~RapiBase() = default;

    // The devices attached now, each described by text keys ("DeviceClass",
    // "DeviceName", "DevicePath"); none when no device is attached.
    static std::optional<std::vector<std::map<std::string, std::string>>> availableDevices();

    // While on, the session writes every block it reads from the device (file reads,
    // invocation replies) to the console log as hexadecimal.
    void setReadPacketLogging(bool on) { readPacketLogging_ = on; }
    bool readPacketLogging() const { return readPacketLogging_; }

protected:
    void logReadPacket(const char* call, const uint8_t* bytes, size_t length) const;

private:
    bool readPacketLogging_ = false;
};

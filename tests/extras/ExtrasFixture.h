#pragma once

// A device folder for one test, and a session over it (its device is the one the
// session lists) through a wrapper that injects faults, counts the reply
// blocks it hands out and takes back, and records each library invocation.

#include "pavrixwm/EmulatedDevice.h"
#include "pavrixwm/Rapi.h"
#include "platform/PlistObject.h"
#include "support/FaultInjectingDevice.h"
#include "support/TestSupport.h"

namespace extrastest {

using Bytes = std::vector<uint8_t>;

class RecordingDevice : public FaultInjectingDevice {
public:
    using FaultInjectingDevice::FaultInjectingDevice;
    std::vector<std::pair<std::string, Bytes>> invocations; // "library:function", input block

    int32_t CeRapiInvoke(const std::string& dll, const std::string& function, DWORD inputCount, const uint8_t* input,
                         DWORD* outputCount, uint8_t** output) override
    {
        invocations.emplace_back(dll + ":" + function, Bytes(input, input + (input ? inputCount : 0)));
        return FaultInjectingDevice::CeRapiInvoke(dll, function, inputCount, input, outputCount, output);
    }
};

struct DeviceSession {
    explicit DeviceSession(const std::string& deviceClass = "PocketPC")
    {
        auto settings = platform::PlistObject::dictionary();
        settings.set("DeviceClass", platform::PlistObject::string(deviceClass));
        settings.writeAtomically(folder / "device.plist");
    }
    testsupport::DeviceFolder folder;
    std::shared_ptr<RecordingDevice> device = std::make_shared<RecordingDevice>(EmulatedDevice::open(folder.path()));
    Rapi rapi{device};
};

// 16-bit units or fields, least significant byte first.
inline Bytes LE16(std::initializer_list<uint16_t> units)
{
    Bytes out;
    for (uint16_t unit : units)
        out.insert(out.end(), {uint8_t(unit), uint8_t(unit >> 8)});
    return out;
}

} // namespace extrastest

#pragma once

// A device folder for one test, and a session over it (its device is the one the
// session lists) through the fault-injecting wrapper, which also counts the reply
// blocks and records each library invocation.

#include "pavrixwm/EmulatedDevice.h"
#include "pavrixwm/Rapi.h"
#include "platform/PlistObject.h"
#include "support/FaultInjectingDevice.h"
#include "support/TestSupport.h"

namespace extrastest {

using Bytes = std::vector<uint8_t>;

struct DeviceSession {
    explicit DeviceSession(const std::string& deviceClass = "PocketPC")
    {
        auto settings = platform::PlistObject::dictionary();
        settings.set("DeviceClass", platform::PlistObject::string(deviceClass));
        settings.writeAtomically(folder / "device.plist");
    }
    testsupport::DeviceFolder folder;
    std::shared_ptr<FaultInjectingDevice> device = std::make_shared<FaultInjectingDevice>(EmulatedDevice::open(folder.path()));
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

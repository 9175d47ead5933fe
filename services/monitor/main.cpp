// pavrix-monitor
//
// The monitor process: registers "PavrixWMForFramework" on the session bus and
// serves FrameworkToMonitorProtocol (interface
// org.pavrix.FrameworkToMonitorProtocol) on its root object.
//
// The notifications syncStart and syncComplete are counted together: each one
// prints a line on standard output, flushed at once, with the count of
// notifications received so far, e.g. "syncStart 1", "syncComplete 2".
// Every other message prints its name and arguments ("pimDataReady 4") and gets an
// empty answer: nil objects, false, 0.
//
// Wire forms of the messages (objects travel as in the preference protocol, a
// "(bay)" pair that may be nil):
//   syncStart, syncComplete           oneway, no arguments
//   getValueFromDeviceListForKey(o)   -> o
//   ackObjectID(i, u)                 oneway (ackObjectID:forPimDataType:)
//   pimChangedUIDs(u), pimUnchangedUIDs(u) -> o
//   pimDataReady(u)                   -> b
//   devicePasswordAndRapiLock(u)      -> (o, u): the reply and the new value of the
//                                        caller's unsigned 32-bit out parameter

#include "platform/NamedService.h"
#include "prefs/PrefWireFormat.h"

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <tuple>

namespace {

constexpr const char* kMonitorName = "PavrixWMForFramework";
constexpr const char* kMonitorProtocol = "FrameworkToMonitorProtocol";

void Line(const std::string& text)
{
    std::printf("%s\n", text.c_str());
    std::fflush(stdout);
}

std::string DescribeObject(const PrefWireValue& wire) { return DecodePrefValue(wire) ? "object" : "nil"; }

} // namespace

int main()
{
    std::unique_ptr<platform::ServiceHost> host;
    try {
        host = std::make_unique<platform::ServiceHost>(kMonitorName);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "pavrix-monitor: %s\n", e.what());
        return 1;
    }

    const std::string iface = platform::ProtocolInterfaceName(kMonitorProtocol);
    const PrefWireValue nil = EncodePrefValue(std::nullopt);
    unsigned long notifications = 0;
    sdbus::IObject& root = host->rootObject();

    root.registerMethod("syncStart")
        .onInterface(iface)
        .implementedAs([&]() { Line("syncStart " + std::to_string(++notifications)); })
        .withNoReply();
    root.registerMethod("syncComplete")
        .onInterface(iface)
        .implementedAs([&]() { Line("syncComplete " + std::to_string(++notifications)); })
        .withNoReply();
    root.registerMethod("getValueFromDeviceListForKey")
        .onInterface(iface)
        .implementedAs([&](const PrefWireValue& key) {
            Line("getValueFromDeviceListForKey " + DescribeObject(key));
            return nil;
        });
    root.registerMethod("ackObjectID")
        .onInterface(iface)
        .implementedAs([&](int32_t objectID, uint32_t pimDataType) {
            Line("ackObjectID " + std::to_string(objectID) + " " + std::to_string(pimDataType));
        })
        .withNoReply();
    root.registerMethod("pimChangedUIDs")
        .onInterface(iface)
        .implementedAs([&](uint32_t pimDataType) {
            Line("pimChangedUIDs " + std::to_string(pimDataType));
            return nil;
        });
    root.registerMethod("pimUnchangedUIDs")
        .onInterface(iface)
        .implementedAs([&](uint32_t pimDataType) {
            Line("pimUnchangedUIDs " + std::to_string(pimDataType));
            return nil;
        });
    root.registerMethod("pimDataReady")
        .onInterface(iface)
        .implementedAs([&](uint32_t pimDataType) {
            Line("pimDataReady " + std::to_string(pimDataType));
            return false;
        });
    root.registerMethod("devicePasswordAndRapiLock")
        .onInterface(iface)
        .implementedAs([&](uint32_t lock) {
            Line("devicePasswordAndRapiLock " + std::to_string(lock));
            return std::make_tuple(nil, uint32_t{0});
        });
    root.finishRegistration();

    try {
        host->run();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "pavrix-monitor: %s\n", e.what());
        return 1;
    }
    return 0;
}

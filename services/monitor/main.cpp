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
// The names and wire forms of the messages are in extras/MonitorProtocol.h.

#include "extras/MonitorProtocol.h"
#include "platform/NamedService.h"
#include "prefs/PrefWireFormat.h"

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <tuple>

namespace {

// One line per message received: its name, then what it carried.
void Line(const char* message, const std::string& arguments)
{
    std::printf("%s %s\n", message, arguments.c_str());
    std::fflush(stdout);
}

std::string DescribeObject(const PrefWireValue& wire) { return DecodePrefValue(wire) ? "object" : "nil"; }

} // namespace

int main()
{
    std::unique_ptr<platform::ServiceHost> host;
    try {
        host = std::make_unique<platform::ServiceHost>(kMonitorServerName);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "pavrix-monitor: %s\n", e.what());
        return 1;
    }

    const std::string iface = platform::ProtocolInterfaceName(kFrameworkToMonitorProtocol);
    const PrefWireValue nil = EncodePrefValue(std::nullopt);
    unsigned long notifications = 0;
    sdbus::IObject& root = host->rootObject();

    root.registerMethod(MonitorMethod::syncStart)
        .onInterface(iface)
        .implementedAs([&]() { Line(MonitorMethod::syncStart, std::to_string(++notifications)); })
        .withNoReply();
    root.registerMethod(MonitorMethod::syncComplete)
        .onInterface(iface)
        .implementedAs([&]() { Line(MonitorMethod::syncComplete, std::to_string(++notifications)); })
        .withNoReply();
    root.registerMethod(MonitorMethod::getValueFromDeviceListForKey)
        .onInterface(iface)
        .implementedAs([&](const PrefWireValue& key) {
            Line(MonitorMethod::getValueFromDeviceListForKey, DescribeObject(key));
            return nil;
        });
    root.registerMethod(MonitorMethod::ackObjectID)
        .onInterface(iface)
        .implementedAs([&](int32_t objectID, uint32_t pimDataType) {
            Line(MonitorMethod::ackObjectID, std::to_string(objectID) + " " + std::to_string(pimDataType));
        })
        .withNoReply();
    root.registerMethod(MonitorMethod::pimChangedUIDs)
        .onInterface(iface)
        .implementedAs([&](uint32_t pimDataType) {
            Line(MonitorMethod::pimChangedUIDs, std::to_string(pimDataType));
            return nil;
        });
    root.registerMethod(MonitorMethod::pimUnchangedUIDs)
        .onInterface(iface)
        .implementedAs([&](uint32_t pimDataType) {
            Line(MonitorMethod::pimUnchangedUIDs, std::to_string(pimDataType));
            return nil;
        });
    root.registerMethod(MonitorMethod::pimDataReady)
        .onInterface(iface)
        .implementedAs([&](uint32_t pimDataType) {
            Line(MonitorMethod::pimDataReady, std::to_string(pimDataType));
            return false;
        });
    root.registerMethod(MonitorMethod::devicePasswordAndRapiLock)
        .onInterface(iface)
        .implementedAs([&](uint32_t lock) {
            Line(MonitorMethod::devicePasswordAndRapiLock, std::to_string(lock));
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

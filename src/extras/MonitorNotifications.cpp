#include "extras/MonitorNotifications.h"

#include "platform/NamedService.h"

#include <memory>

namespace {

void NotifyMonitor(const char* message)
{
    try {
        // No proxy is kept: the monitor may come and go between syncs.
        std::shared_ptr<platform::ServiceProxy> monitor =
            platform::ServiceProxy::lookUp(kMonitorServerName, kFrameworkToMonitorProtocol);
        if (!monitor)
            return;
        monitor->sendOneway(message);
    } catch (...) {
        // The sync goes on whether or not the monitor heard of it.
    }
}

} // namespace

void syncStart() { NotifyMonitor(MonitorMethod::syncStart); }

void syncComplete() { NotifyMonitor(MonitorMethod::syncComplete); }

#include "daemon/AttachedDevice.h"

#include "pavrixwm/EmulatedDevice.h"
#include "pavrixwm/LinkDevice.h"
#include "pavrixwm/LinkManager.h"

std::shared_ptr<DeviceBackend> OpenAttachedDevice(const DaemonOptions& options,
                                                  const std::optional<std::string>& handOffAddress,
                                                  const std::optional<std::string>& handOffPassword)
{
    if (options.link.desktopAddress) {
        auto settings = LinkSettings::fromOptions(options.link, handOffAddress, handOffPassword);
        auto manager = settings ? LinkManager::start(*settings) : nullptr;
        return manager ? std::make_shared<LinkDevice>(manager) : nullptr;
    }
    if (options.deviceFolder)
        return EmulatedDevice::open(*options.deviceFolder);
    return nullptr;
}

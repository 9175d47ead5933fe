#pragma once

#include "daemon/DaemonOptions.h"
#include "pavrixwm/DeviceBackend.h"

#include <memory>
#include <optional>
#include <string>

// The device the daemon serves, chosen once at start from its options: with a
// link named, the handheld on it, whether or not one is attached yet (the link
// starts listening now, so that a handheld plugged in before the first request
// is already known when it comes); otherwise the emulated device folder, if one
// is named and has its fs/ folder. Null when there is none: no device attached.
// The handheld is named and unlocked by what the launcher handed over.
std::shared_ptr<DeviceBackend> OpenAttachedDevice(const DaemonOptions& options,
                                                  const std::optional<std::string>& handOffAddress,
                                                  const std::optional<std::string>& handOffPassword);

#pragma once

// The device session and store the daemon makes at start, over an emulated device
// folder, for a listener in the test's own process.

#include "daemon/AttachedDevice.h"
#include "daemon/Application.h"
#include "device/WinceDataSource.h"
#include "pavrixwm/Rapi.h"

#include <memory>
#include <string>

struct InProcessStore {
    InProcessStore(const std::string& home, const std::string& deviceFolder)
        : options(Options(home, deviceFolder)), mirror(MirrorDirectoryPath(options.homeFolder)),
          session(OpenAttachedDevice(options, std::nullopt, std::nullopt), options.deviceTrace),
          store(std::make_shared<WinceDataSource>(session, mirror))
    {
    }

    static DaemonOptions Options(const std::string& home, const std::string& deviceFolder)
    {
        DaemonOptions options;
        options.homeFolder = home;
        options.deviceFolder = deviceFolder;
        return options;
    }

    DaemonOptions options;
    std::string mirror;
    Rapi session;
    std::shared_ptr<WinceDataSource> store;
};

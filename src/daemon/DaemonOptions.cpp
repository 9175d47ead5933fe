#include "daemon/DaemonOptions.h"

#include "platform/HomeFolder.h"

#include <cstdlib>

DaemonOptions DaemonOptions::from(const std::function<std::optional<std::string>(const char*)>& variable)
{
    auto text = [&](const char* name) -> std::optional<std::string> {
        auto value = variable(name);
        if (!value || value->empty())
            return std::nullopt;
        return value;
    };
    auto on = [&](const char* name) { return text(name) == "1"; };

    DaemonOptions options;
    options.homeFolder = platform::HomeFolder(text("HOME"));
    options.deviceFolder = text("PAVRIX_DEVICE");
    options.deviceTrace = text("PAVRIX_DEVICE_TRACE");
    options.logDebug = on("PAVRIX_LOG_DEBUG");
    options.standardDav = on("PAVRIX_STANDARD_DAV");
    options.link.desktopAddress = text("PAVRIX_LINK_ADDRESS");
    options.link.deviceAddress = text("PAVRIX_LINK_DEVICE");
    options.link.ports = text("PAVRIX_LINK_PORTS");
    options.link.devicePorts = text("PAVRIX_LINK_DEVICE_PORTS");
    options.link.runtimeFolder = text("XDG_RUNTIME_DIR");
    return options;
}

DaemonOptions DaemonOptions::fromEnvironment()
{
    return from([](const char* name) -> std::optional<std::string> {
        const char* value = std::getenv(name);
        return value ? std::optional<std::string>(value) : std::nullopt;
    });
}

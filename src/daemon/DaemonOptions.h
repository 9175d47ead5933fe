#pragma once

// Everything the daemon takes from its environment, read once at start and handed
// to what needs it; nothing below the daemon reads the environment. The variables
// and their meanings are the documented ones (README, "Environment").

#include "pavrixwm/LinkSettings.h"

#include <functional>
#include <optional>
#include <string>

struct DaemonOptions {
    // The user's home folder, "~" in every path: HOME, else the password database's entry.
    std::string homeFolder;
    // PAVRIX_DEVICE: the emulated device folder; none when unset or empty.
    std::optional<std::string> deviceFolder;
    // PAVRIX_DEVICE_TRACE: the file every device call is traced to; none: no trace.
    std::optional<std::string> deviceTrace;
    // PAVRIX_LOG_DEBUG=1: start with the debug log on.
    bool logDebug = false;
    // PAVRIX_STANDARD_DAV=1: standard WebDAV answers where the daemon's own differ.
    bool standardDav = false;
    // PAVRIX_LINK_*: the handheld on a USB link (and XDG_RUNTIME_DIR, where the
    // privileged listener of the link is found).
    LinkOptions link;

    // The options of a process started with `variable` (a name's value; none when
    // unset). An empty value counts as unset; a switch is on only for "1".
    static DaemonOptions from(const std::function<std::optional<std::string>(const char*)>& variable);
    // The options of this process.
    static DaemonOptions fromEnvironment();
};

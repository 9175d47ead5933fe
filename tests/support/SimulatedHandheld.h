#pragma once

// A simulated handheld (build/bin/pavrix-devicesim) on loopback for one test, over
// an emulated device folder, on free ports of its own; `env` holds the link
// variables a daemon needs to reach it. The handheld waits until the daemon
// wakes it (or, the older kind, keeps calling until the daemon listens).

#include "pavrixwm/LinkSettings.h"
#include "support/TestSupport.h"

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace testsupport {

class SimulatedHandheld {
public:
    // `kind`: "rndis" (a newer handheld, newer dialect), "rndis-rapi1" (a newer
    // handheld that speaks the older dialect, OS 5.0) or "legacy".
    SimulatedHandheld(const std::string& deviceFolder, const std::string& kind,
                      const std::vector<std::string>& extraArgs = {});
    ~SimulatedHandheld();

    // `base` with the link variables set over it (and no device folder).
    std::map<std::string, std::optional<std::string>> env(std::map<std::string, std::optional<std::string>> base = {}) const;
    // The same link, as an in-process link takes it (with `runtimeFolder` for a
    // privileged listener's socket).
    LinkOptions linkOptions(const std::optional<std::string>& runtimeFolder = std::nullopt) const;
    // Waits until it says it is connected to the desktop (the `n`th time).
    bool waitConnected(int n = 1, std::chrono::milliseconds timeout = std::chrono::seconds(15));
    // "connected" is said once the handheld's greeting is sent, which the desktop
    // may not have read yet: a request then finds no device. True once `probe`, a
    // request that reaches the handheld only if the desktop holds it, has made the
    // desktop open a session (it is sent again until then).
    bool waitAttached(const std::function<void()>& probe, std::chrono::milliseconds timeout = std::chrono::seconds(15));
    void start();
    // Pulls the plug: the handheld is gone at once, its connections closed.
    void unplug();
    // The handheld stops in its tracks: its connections stay open, nothing answers
    // (as when the link goes without a word). unplug() still ends it.
    void freeze();
    std::string stderrText() const { return ReadFile(stderr_); }

private:
    // How often the handheld has said `words`, in this run and every earlier one.
    size_t said(const std::string& words) const;

    std::string folder_, kind_;
    std::vector<std::string> extraArgs_;
    TempDir logs_;
    std::string stderr_;
    std::string history_; // what earlier runs said, before a restart truncated the file
    int control_ = 0, info_ = 0, wake_ = 0, rapi_ = 0;
    ChildProcess process_;
};

} // namespace testsupport

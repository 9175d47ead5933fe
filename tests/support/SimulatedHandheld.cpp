#include "support/SimulatedHandheld.h"

#include <signal.h>

namespace testsupport {

// A port no one listens on now (TCP, or UDP when `datagram`).
static int FreePort(bool datagram = false) { return LoopbackPort(datagram).port; }

SimulatedHandheld::SimulatedHandheld(const std::string& deviceFolder, const std::string& kind,
                                     const std::vector<std::string>& extraArgs)
    : folder_(deviceFolder), kind_(kind), extraArgs_(extraArgs), stderr_(logs_ / "devicesim.err"),
      control_(FreePort()), info_(FreePort()), wake_(FreePort(true)), rapi_(FreePort())
{
    start();
}

SimulatedHandheld::~SimulatedHandheld() { unplug(); }

void SimulatedHandheld::start()
{
    const std::string os = kind_ == "rndis-rapi1" ? "5.0" : (kind_ == "legacy" ? "4.21" : "5.1");
    std::vector<std::string> argv = {std::string(PAVRIX_BIN_DIR) + "/pavrix-devicesim", "--device", folder_,
                                     "--desktop-ports", std::to_string(control_) + "," + std::to_string(info_),
                                     "--ports", std::to_string(wake_) + "," + std::to_string(rapi_),
                                     "--flow", kind_ == "legacy" ? "legacy" : "rndis", "--os", os};
    argv.insert(argv.end(), extraArgs_.begin(), extraArgs_.end());
    // The new run's file starts empty: keep what earlier runs said, so that
    // connections can be counted across a re-plug.
    if (PathExists(stderr_))
        history_ += ReadFile(stderr_);
    process_ = ChildProcess(argv, {.stderrFile = stderr_});
}

void SimulatedHandheld::unplug()
{
    process_.signal(SIGKILL); // neither does anything to a handheld that is not running
    process_.stop();
}

void SimulatedHandheld::freeze()
{
    if (process_.pid() <= 0)
        return;
    process_.signal(SIGSTOP);
    // The signal is only queued: on a busy machine the handheld could still answer
    // the next call before it stops, so wait until the kernel reports it stopped.
    const std::string stat = "/proc/" + std::to_string(process_.pid()) + "/stat";
    WaitFor([&] {
        std::string text = ReadFile(stat);
        size_t paren = text.rfind(')');
        return paren != std::string::npos && paren + 2 < text.size() && text[paren + 2] == 'T';
    }, std::chrono::seconds(2));
}

std::map<std::string, std::optional<std::string>>
SimulatedHandheld::env(std::map<std::string, std::optional<std::string>> base) const
{
    base["PAVRIX_DEVICE"] = std::nullopt;
    base["PAVRIX_LINK_ADDRESS"] = base["PAVRIX_LINK_DEVICE"] = "127.0.0.1";
    base["PAVRIX_LINK_PORTS"] = std::to_string(control_) + "," + std::to_string(info_);
    base["PAVRIX_LINK_DEVICE_PORTS"] = std::to_string(wake_) + "," + std::to_string(rapi_);
    return base;
}

LinkOptions SimulatedHandheld::linkOptions(const std::optional<std::string>& runtimeFolder) const
{
    auto env = this->env();
    return {env["PAVRIX_LINK_ADDRESS"], env["PAVRIX_LINK_DEVICE"], env["PAVRIX_LINK_PORTS"],
            env["PAVRIX_LINK_DEVICE_PORTS"], runtimeFolder};
}

bool SimulatedHandheld::waitConnected(int n, std::chrono::milliseconds timeout)
{
    return WaitFor([&] { return said("connected") >= size_t(n); }, timeout);
}

bool SimulatedHandheld::waitAttached(const std::function<void()>& probe, std::chrono::milliseconds timeout)
{
    const size_t before = said("pavrix-devicesim: session");
    return WaitFor([&] {
        probe();
        return said("pavrix-devicesim: session") > before;
    }, timeout);
}

size_t SimulatedHandheld::said(const std::string& words) const { return CountOf(history_ + ReadFile(stderr_), words); }

} // namespace testsupport

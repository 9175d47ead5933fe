// pavrix-devicesim: a simulated handheld on the device link (see DeviceSimulator.h),
// serving an emulated device folder until SIGTERM or SIGINT.

#include "DeviceSimulator.h"

#include <csignal>
#include <iostream>

namespace {

std::atomic<bool> gStop{false};

void Stop(int) { gStop = true; }

} // namespace

int main(int argc, char** argv)
{
    auto options = ParseSimulatorOptions(argc, argv);
    if (!options)
        return 2;
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGTERM, Stop);
    std::signal(SIGINT, Stop);
    DeviceSimulator simulator(*options);
    std::cerr << "pavrix-devicesim: " << (options->legacy ? "older" : "newer") << " handheld on "
              << options->address << std::endl;
    if (!simulator.run(gStop)) {
        std::cerr << "pavrix-devicesim: cannot open the handheld's ports" << std::endl;
        return 1;
    }
    return 0;
}

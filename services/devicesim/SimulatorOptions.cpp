#include "DeviceSimulator.h"

#include <cstdlib>
#include <iostream>
#include <map>

namespace {

bool Number(const std::string& text, int64_t& out)
{
    if (text.empty() || text.size() > 18)
        return false;
    char* end = nullptr;
    out = std::strtoll(text.c_str(), &end, 0);
    return end && *end == 0 && out >= 0;
}

bool PortPair(const std::string& text, uint16_t& a, uint16_t& b)
{
    auto comma = text.find(',');
    int64_t x = 0, y = 0;
    if (comma == std::string::npos || !Number(text.substr(0, comma), x) || !Number(text.substr(comma + 1), y) ||
        x < 1 || x > 65535 || y < 1 || y > 65535)
        return false;
    a = static_cast<uint16_t>(x);
    b = static_cast<uint16_t>(y);
    return true;
}

const char* kUsage =
    "usage: pavrix-devicesim --device DIR [--flow rndis|legacy] [--address A] [--desktop A]\n"
    "       [--desktop-ports CONTROL,INFO] [--ports WAKE,RAPI] [--os MAJOR.MINOR] [--name N]\n"
    "       [--platform P] [--password P [--key K] | --refuse-password | --unlock-after SECONDS]\n"
    "       [--latency-us N] [--bytes-per-second N] [--no-pings]\n"
    "       [--fault drop|truncate|wrong-length|garbage|silent [--fault-at CALL]]\n";

} // namespace

std::optional<SimulatorOptions> ParseSimulatorOptions(int argc, char** argv)
{
    SimulatorOptions options;
    const std::map<std::string, SimulatorOptions::Fault> faults = {
        {"drop", SimulatorOptions::Fault::Drop},       {"truncate", SimulatorOptions::Fault::Truncate},
        {"wrong-length", SimulatorOptions::Fault::WrongLength}, {"garbage", SimulatorOptions::Fault::Garbage},
        {"silent", SimulatorOptions::Fault::Silent}};
    for (int i = 1; i < argc; ++i) {
        std::string flag = argv[i];
        if (flag == "--no-pings") {
            options.answerPings = false;
            continue;
        }
        if (flag == "--refuse-password") {
            options.refusePassword = true;
            continue;
        }
        if (i + 1 >= argc) {
            std::cerr << kUsage;
            return std::nullopt;
        }
        std::string value = argv[++i];
        int64_t number = 0;
        bool ok = true;
        if (flag == "--device")
            options.deviceDirectory = value;
        else if (flag == "--flow")
            ok = (value == "rndis" || value == "legacy") && ((options.legacy = value == "legacy"), true);
        else if (flag == "--address")
            options.address = value;
        else if (flag == "--desktop")
            options.desktopAddress = value;
        else if (flag == "--desktop-ports")
            ok = PortPair(value, options.controlPort, options.infoPort);
        else if (flag == "--ports")
            ok = PortPair(value, options.wakePort, options.rapiPort);
        else if (flag == "--os") {
            auto dot = value.find('.');
            int64_t major = 0, minor = 0;
            ok = dot != std::string::npos && Number(value.substr(0, dot), major) && Number(value.substr(dot + 1), minor);
            options.osMajor = static_cast<uint32_t>(major);
            options.osMinor = static_cast<uint32_t>(minor);
        } else if (flag == "--name")
            options.name = value;
        else if (flag == "--platform")
            options.platform = value;
        else if (flag == "--password")
            options.password = value;
        else if (flag == "--key")
            ok = Number(value, number) && number > 0 && number < 0xFFFFFFFF &&
                 ((options.passwordKey = static_cast<uint32_t>(number)), true);
        else if (flag == "--unlock-after")
            ok = Number(value, number) && number < 3600 && ((options.unlockAfterSeconds = static_cast<int>(number)), true);
        else if (flag == "--latency-us")
            ok = Number(value, options.latencyMicroseconds);
        else if (flag == "--bytes-per-second")
            ok = Number(value, options.bytesPerSecond);
        else if (flag == "--fault")
            ok = faults.count(value) && ((options.fault = faults.at(value)), true);
        else if (flag == "--fault-at")
            ok = Number(value, number) && number > 0 && ((options.faultAtCall = static_cast<uint64_t>(number)), true);
        else
            ok = false;
        if (!ok) {
            std::cerr << "pavrix-devicesim: bad " << flag << " " << value << "\n" << kUsage;
            return std::nullopt;
        }
    }
    if (options.deviceDirectory.empty()) {
        std::cerr << kUsage;
        return std::nullopt;
    }
    return options;
}

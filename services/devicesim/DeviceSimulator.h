#pragma once

// A simulated handheld on the device link, for tests and demonstrations: the
// handheld's side of both ways of connecting (the newer handhelds' wake, handshake
// and channels on request; the older ones' information packet, pings and
// remote-call port) and of both remote-call dialects, over an emulated device
// folder. It can be locked with a password (refused or accepted), unlocked by its
// "user" after a while, slowed (latency per call, bandwidth), and made to fail on
// demand at a given call.

#include "pavrixwm/LinkDeviceInfo.h"
#include "pavrixwm/LinkSocket.h"

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>

struct SimulatorOptions {
    enum class Fault : uint8_t { None, Drop, Truncate, WrongLength, Garbage, Silent };

    std::string deviceDirectory;
    bool legacy = false;
    std::string address = "127.0.0.1";        // the handheld's own address
    std::string desktopAddress = "127.0.0.1"; // where the desktop listens
    uint16_t controlPort = 990, infoPort = 5679; // the desktop's
    uint16_t wakePort = 5679, rapiPort = 990;    // the handheld's
    uint32_t osMajor = 5, osMinor = 1;
    std::string name = "Simulated";
    std::string platform; // empty: the device folder's "DeviceClass"
    std::string model = "PX-Sim";
    std::optional<std::string> password; // locked with this password
    uint32_t passwordKey = 0x5A;
    bool refusePassword = false; // refuses every password, the right one too
    std::optional<int> unlockAfterSeconds; // the user unlocks on the handheld
    int64_t latencyMicroseconds = 0;
    int64_t bytesPerSecond = 0;
    Fault fault = Fault::None;
    uint64_t faultAtCall = 1;  // the remote call (counted from 1 over all channels) that fails
    bool answerPings = true;
};

class DeviceSimulator {
public:
    explicit DeviceSimulator(SimulatorOptions options);
    // Runs until `stop` is set; false when its ports cannot be opened.
    bool run(const std::atomic<bool>& stop);

private:
    void runNewer(const std::atomic<bool>& stop, LinkSocket& wakeSocket);
    void runOlder(const std::atomic<bool>& stop, LinkSocket& rapiListener);
    bool connectNewer(LinkSocket& control, const std::atomic<bool>& stop);
    // Checks the desktop's encoded password; the answer is sent by the caller.
    bool checkPassword(LinkSocket& socket);
    void serveChannel(LinkSocket socket);
    void pace(size_t bytes) const;

    SimulatorOptions options_;
    LinkDeviceInfo info_;
    std::atomic<uint64_t> calls_{0};
};

// Reads the options from the command line; none (with a message on stderr) when
// they do not make sense.
std::optional<SimulatorOptions> ParseSimulatorOptions(int argc, char** argv);

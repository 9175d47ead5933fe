#pragma once

// The desktop's connection manager for one handheld on a USB network link, both
// ways a handheld connects:
//   newer handhelds: the desktop listens on its control port, wakes the handheld
//     with one UDP byte 0x7f to its wake port, answers the handshake (0 -> 3,
//     6 -> 7 8 4 5), reads the device-information block (4, length, block),
//     unlocks it (the encoded password, or the user on the handheld), and asks it
//     for each remote-call channel (5, 4, request id), which the handheld opens as
//     a new connection to the control port starting with that id;
//   older handhelds: the handheld connects to the info port and sends its
//     information packet (a header word of 512 or more first is a password
//     challenge, the key in its low byte); the desktop pings every 5 seconds, and
//     three pings without an answer mean the handheld is gone; remote calls go to
//     the handheld's remote-call port, a locked one taking the password first.
// When the desktop's ports cannot be bound (port 990 needs privilege, or the
// privileged listener pavrix-linkd holds them), the connections come handed over
// by that listener instead (LinkHandOff).
// One thread does the listening, the handshakes and the pings; sessions are opened
// from any thread. A handheld that leaves is forgotten; one that comes back is
// taken again, with a new generation number.

#include "pavrixwm/LinkDeviceInfo.h"
#include "pavrixwm/LinkSettings.h"
#include "pavrixwm/LinkSocket.h"
#include "pavrixwm/RapiChannel.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

class LinkManager {
public:
    enum class State : uint8_t { Absent, Locked, AwaitingUnlock, Attached };

    struct Session {
        RapiChannel channel;
        RapiDialect dialect;
        uint64_t generation;
    };

    // Starts listening; none when the desktop's ports cannot be bound and no
    // listener hands connections over.
    static std::shared_ptr<LinkManager> start(const LinkSettings& settings);
    ~LinkManager();
    LinkManager(const LinkManager&) = delete;
    LinkManager& operator=(const LinkManager&) = delete;

    State state() const;
    // What the handheld announced when it connected; none while none is there.
    std::optional<LinkDeviceInfo> deviceInfo() const;
    uint64_t generation() const { return generation_.load(); }
    const LinkSettings& settings() const { return settings_; }

    // A new remote-call channel to the attached, unlocked handheld; none when there
    // is none or it does not open one within `timeout`.
    std::optional<Session> openSession(std::chrono::milliseconds timeout);

private:
    explicit LinkManager(LinkSettings settings);
    void run();
    void wake();
    void acceptControl();
    void acceptInfo();
    void takeHandedOver();
    void reconnectHandOff();
    void takeControl(LinkSocket socket);
    void takeInfo(LinkSocket socket);
    void readControl();
    void ping();
    bool handshake(LinkSocket& socket, uint32_t first);
    bool legacyHandshake(LinkSocket& socket, uint32_t& key);
    // Sends the encoded password and reads the handheld's answer (`replySize` bytes).
    bool unlock(LinkSocket& socket, uint32_t key, size_t replySize);
    void attach(LinkSocket socket, LinkDeviceInfo info, State state, uint32_t legacyKey);
    void detach();

    LinkSettings settings_;
    LinkSocket controlListener_;
    LinkSocket infoListener_;
    LinkSocket handOff_; // instead of the two listeners, when they could not be bound

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    LinkSocket control_; // written under mutex_, read and closed by the thread only
    std::optional<LinkDeviceInfo> info_;
    State state_ = State::Absent;
    uint32_t legacyKey_ = 0;
    uint32_t nextRequest_ = 0;
    std::set<uint32_t> waiting_;
    std::map<uint32_t, LinkSocket> arrived_;
    std::atomic<uint64_t> generation_{0};

    LinkSocket::Clock::time_point lastWake_{};
    LinkSocket::Clock::time_point lastHandOffTry_{};
    LinkSocket::Clock::time_point lastPing_{};
    int missedPings_ = 0;

    std::atomic<bool> stop_{false};
    std::thread thread_;
};

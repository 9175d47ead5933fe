#include "DeviceSimulator.h"

#include "RapiResponder.h"
#include "pavrixwm/EmulatedDevice.h"
#include "pavrixwm/RapiChannel.h"
#include "platform/LittleEndian.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <iostream>
#include <thread>

namespace {

using Clock = LinkSocket::Clock;
using namespace std::chrono_literals;
constexpr uint32_t kPing = 0x12345678;

LinkSocket BindDatagram(const std::string& address, uint16_t port)
{
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    if (::inet_pton(AF_INET, address.c_str(), &sa.sin_addr) != 1)
        return {};
    LinkSocket socket(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    int on = 1;
    ::setsockopt(socket.fd(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (!socket.valid() || ::bind(socket.fd(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0)
        return {};
    return socket;
}

} // namespace

DeviceSimulator::DeviceSimulator(SimulatorOptions options) : options_(std::move(options))
{
    info_.guid = {0x50, 0x58, 0x53, 0x49, 0x4d, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
    info_.osMajor = options_.osMajor;
    info_.osMinor = options_.osMinor;
    info_.name = options_.name;
    info_.version = 1;
    info_.cpuType = 2577; // an ARM processor
    // The handheld's kind is the device folder's own unless told otherwise.
    std::string platform = options_.platform;
    if (platform.empty())
        if (auto device = EmulatedDevice::open(options_.deviceDirectory))
            platform = device->description()["DeviceClass"];
    info_.platformNames = {platform.empty() ? std::string("PocketPC") : platform};
    info_.modelName = options_.model;
    info_.legacy = options_.legacy;
    if (options_.unlockAfterSeconds)
        info_.passwordKey = kPasswordOnDevice;
    else if (options_.password || options_.refusePassword)
        info_.passwordKey = options_.passwordKey;
}

void DeviceSimulator::pace(size_t bytes) const
{
    if (options_.bytesPerSecond > 0)
        std::this_thread::sleep_for(std::chrono::microseconds(static_cast<int64_t>(bytes) * 1000000 /
                                                              options_.bytesPerSecond));
}

bool DeviceSimulator::run(const std::atomic<bool>& stop)
{
    if (options_.legacy) {
        LinkSocket listener = LinkSocket::listen(options_.address, options_.rapiPort);
        if (!listener.valid())
            return false;
        std::thread acceptor([this, &stop, &listener] {
            while (!stop) {
                LinkSocket channel = listener.accept(200ms);
                if (!channel.valid())
                    continue;
                std::thread([this, socket = std::move(channel)]() mutable {
                    if (info_.passwordKey != 0) {
                        uint8_t answer = checkPassword(socket) ? 1 : 0;
                        if (!socket.writeAll(&answer, 1, Clock::now() + 2s) || !answer)
                            return;
                    }
                    serveChannel(std::move(socket));
                }).detach();
            }
        });
        runOlder(stop, listener);
        acceptor.join();
        return true;
    }
    LinkSocket wake = BindDatagram(options_.address, options_.wakePort);
    if (!wake.valid())
        return false;
    runNewer(stop, wake);
    return true;
}

bool DeviceSimulator::checkPassword(LinkSocket& socket)
{
    auto deadline = Clock::now() + 10s;
    uint8_t length[2];
    if (!socket.readExact(length, 2, deadline))
        return false;
    std::vector<uint8_t> encoded(platform::ReadLE16(length));
    if (!socket.readExact(encoded.data(), encoded.size(), deadline))
        return false;
    auto password = DecodeLinkPassword(encoded, info_.passwordKey);
    return !options_.refusePassword && password && options_.password && *password == *options_.password;
}

void DeviceSimulator::runNewer(const std::atomic<bool>& stop, LinkSocket& wakeSocket)
{
    while (!stop) {
        if (!wakeSocket.readable(200ms))
            continue;
        uint8_t byte = 0;
        if (::recv(wakeSocket.fd(), &byte, 1, 0) != 1 || byte != 0x7f)
            continue;
        LinkSocket control;
        if (!connectNewer(control, stop))
            continue;
        std::cerr << "pavrix-devicesim: connected" << std::endl;
        // Serve channel requests until the desktop goes away.
        while (!stop && control.valid()) {
            if (!control.readable(200ms))
                continue;
            auto word = control.readWord(Clock::now() + 2s);
            if (!word)
                break;
            if (*word != 5)
                continue;
            auto four = control.readWord(Clock::now() + 2s);
            auto id = control.readWord(Clock::now() + 2s);
            if (!four || !id)
                break;
            LinkSocket channel = LinkSocket::connect(options_.desktopAddress, options_.controlPort, 2s);
            if (!channel.valid() || !channel.writeWord(*id, Clock::now() + 2s))
                continue;
            std::thread([this, socket = std::move(channel)]() mutable { serveChannel(std::move(socket)); }).detach();
        }
        // Drain wakes sent while connected, so a stale one does not reconnect at once.
        while (wakeSocket.readable(0ms) && ::recv(wakeSocket.fd(), &byte, 1, MSG_DONTWAIT) == 1) {
        }
    }
}

bool DeviceSimulator::connectNewer(LinkSocket& control, const std::atomic<bool>& stop)
{
    control = LinkSocket::connect(options_.desktopAddress, options_.controlPort, 2s);
    auto deadline = Clock::now() + 5s;
    if (!control.valid() || !control.writeWord(0, deadline) || control.readWord(deadline) != 3u)
        return false;
    auto block = EncodeDeviceInfoBlock(info_);
    if (!control.writeWord(4, deadline) || !control.writeWord(static_cast<uint32_t>(block.size()), deadline) ||
        !control.writeAll(block.data(), block.size(), deadline))
        return false;
    if (info_.passwordKey == kPasswordOnDevice) {
        if (control.readWord(deadline) != 8u)
            return false;
        for (int i = 0; i < *options_.unlockAfterSeconds * 10 && !stop; ++i)
            std::this_thread::sleep_for(100ms);
        deadline = Clock::now() + 5s;
        return control.writeWord(0, deadline) && control.readWord(deadline) == 0u && control.readWord(deadline) == 0x0Cu;
    }
    if (info_.passwordKey != 0) {
        bool accepted = checkPassword(control);
        uint8_t answer[2] = {static_cast<uint8_t>(accepted ? 1 : 0), 0};
        control.writeAll(answer, 2, Clock::now() + 2s);
        // A refused desktop is kept connected but locked out.
    }
    return true;
}

void DeviceSimulator::runOlder(const std::atomic<bool>& stop, LinkSocket&)
{
    while (!stop) {
        LinkSocket control = LinkSocket::connect(options_.desktopAddress, options_.infoPort, 2s);
        if (!control.valid()) {
            std::this_thread::sleep_for(500ms);
            continue;
        }
        auto deadline = Clock::now() + 5s;
        auto packet = EncodeLegacyInfoPacket(info_);
        if (info_.passwordKey != 0 && !control.writeWord(512 | (info_.passwordKey & 0xFF), deadline))
            continue;
        if (!control.writeWord(static_cast<uint32_t>(packet.size()), deadline) ||
            !control.writeAll(packet.data(), packet.size(), deadline))
            continue;
        if (info_.passwordKey != 0) {
            bool accepted = checkPassword(control);
            uint8_t answer[2] = {static_cast<uint8_t>(accepted ? 1 : 0), 0};
            control.writeAll(answer, 2, Clock::now() + 2s);
        }
        std::cerr << "pavrix-devicesim: connected" << std::endl;
        while (!stop) {
            if (!control.readable(200ms))
                continue;
            auto word = control.readWord(Clock::now() + 2s);
            if (!word)
                break;
            if (*word == kPing && options_.answerPings)
                control.writeWord(kPing, Clock::now() + 2s);
        }
        std::this_thread::sleep_for(500ms);
    }
}

void DeviceSimulator::serveChannel(LinkSocket socket)
{
    // Said for every session the desktop opens: a test knows by it that the
    // desktop has taken the handheld, which "connected" alone does not tell.
    std::cerr << "pavrix-devicesim: session" << std::endl;
    auto device = EmulatedDevice::open(options_.deviceDirectory);
    if (!device)
        return;
    RapiChannel channel(std::move(socket));
    RapiResponder responder(device, info_.dialect());
    for (;;) {
        auto request = channel.receive(std::chrono::hours(24));
        if (!request)
            return;
        pace(request->size());
        if (options_.latencyMicroseconds > 0)
            std::this_thread::sleep_for(std::chrono::microseconds(options_.latencyMicroseconds));
        uint64_t call = ++calls_;
        auto fault = call == options_.faultAtCall ? options_.fault : SimulatorOptions::Fault::None;
        auto deadline = Clock::now() + 10s;
        switch (fault) {
        case SimulatorOptions::Fault::Drop:
            return;
        case SimulatorOptions::Fault::Silent:
            std::this_thread::sleep_for(30s);
            return;
        case SimulatorOptions::Fault::Truncate:
            channel.socket().writeWord(64, deadline);
            channel.socket().writeWord(0, deadline);
            std::this_thread::sleep_for(100ms);
            return;
        case SimulatorOptions::Fault::WrongLength:
            channel.socket().writeWord(0x7FFFFFF0, deadline);
            std::this_thread::sleep_for(30s);
            return;
        case SimulatorOptions::Fault::Garbage:
            channel.send({0xde, 0xad, 0xbe}, 2s);
            continue;
        case SimulatorOptions::Fault::None:
            break;
        }
        auto frames = responder.answer(*request);
        if (!frames)
            return; // a request it cannot read: the handheld hangs up
        for (const auto& frame : *frames) {
            pace(frame.size());
            if (!channel.send(frame, 30s))
                return;
        }
    }
}

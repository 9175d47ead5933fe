#include "pavrixwm/LinkManager.h"

#include "pavrixwm/LinkHandOff.h"
#include "platform/LittleEndian.h"

#include <poll.h>

namespace {

using Clock = LinkSocket::Clock;
using namespace std::chrono_literals;

constexpr uint8_t kWakeByte = 0x7f;
constexpr uint32_t kPing = 0x12345678;
constexpr auto kPingInterval = 5s;
constexpr int kMaxMissedPings = 3;
constexpr auto kWakeInterval = 1s;
constexpr auto kHandshakeTime = 5s;
constexpr uint32_t kLegacyChallenge = 512;
constexpr uint32_t kFirstRequestId = 0x10000;

// What the handheld sends next, `length` bytes read whole and then parsed; none
// when either fails.
template <class Parse>
auto ReadParsed(LinkSocket& socket, size_t length, Clock::time_point deadline, Parse parse)
    -> decltype(parse(nullptr, 0))
{
    std::vector<uint8_t> bytes(length);
    if (!socket.readExact(bytes.data(), bytes.size(), deadline))
        return std::nullopt;
    return parse(bytes.data(), bytes.size());
}

} // namespace

std::shared_ptr<LinkManager> LinkManager::start(const LinkSettings& settings)
{
    std::shared_ptr<LinkManager> manager(new LinkManager(settings));
    manager->controlListener_ = LinkSocket::listen(settings.desktopAddress, settings.controlPort);
    manager->infoListener_ = LinkSocket::listen(settings.desktopAddress, settings.infoPort);
    if (!manager->controlListener_.valid() || !manager->infoListener_.valid()) {
        manager->controlListener_.close();
        manager->infoListener_.close();
        if (const auto& path = settings.handOffPath)
            manager->handOff_ = ConnectLinkHandOff(*path);
        if (!manager->handOff_.valid())
            return nullptr;
    }
    manager->thread_ = std::thread([raw = manager.get()] { raw->run(); });
    return manager;
}

LinkManager::LinkManager(LinkSettings settings) : settings_(std::move(settings)) {}

LinkManager::~LinkManager()
{
    stop_ = true;
    if (thread_.joinable())
        thread_.join();
}

LinkManager::State LinkManager::state() const
{
    std::lock_guard lock(mutex_);
    return state_;
}

std::optional<LinkDeviceInfo> LinkManager::deviceInfo() const
{
    std::lock_guard lock(mutex_);
    return info_;
}

void LinkManager::run()
{
    while (!stop_) {
        pollfd fds[4] = {{control_.fd(), POLLIN, 0},
                         {controlListener_.fd(), POLLIN, 0},
                         {infoListener_.fd(), POLLIN, 0},
                         {handOff_.fd(), POLLIN, 0}};
        ::poll(fds, 4, 200); // invalid descriptors are ignored
        if (fds[1].revents & POLLIN)
            acceptControl();
        if (fds[2].revents & POLLIN)
            acceptInfo();
        if (fds[3].revents & (POLLIN | POLLHUP | POLLERR))
            takeHandedOver();
        if (control_.valid() && (fds[0].revents & (POLLIN | POLLHUP | POLLERR)))
            readControl();
        if (!controlListener_.valid() && !handOff_.valid())
            reconnectHandOff();
        if (!control_.valid())
            wake();
        else if (info_ && info_->legacy && state_ == State::Attached)
            ping();
    }
    std::lock_guard lock(mutex_);
    control_.close();
    state_ = State::Absent;
    changed_.notify_all();
}

void LinkManager::reconnectHandOff()
{
    auto now = Clock::now();
    if (now - lastHandOffTry_ < kWakeInterval)
        return;
    lastHandOffTry_ = now;
    if (const auto& path = settings_.handOffPath)
        handOff_ = ConnectLinkHandOff(*path);
}

void LinkManager::wake()
{
    auto now = Clock::now();
    if (now - lastWake_ < kWakeInterval)
        return;
    lastWake_ = now;
    LinkSocket::sendDatagram(settings_.deviceAddress, settings_.wakePort, &kWakeByte, 1);
}

void LinkManager::acceptControl()
{
    LinkSocket socket = controlListener_.accept(0ms);
    if (socket.valid())
        takeControl(std::move(socket));
}

void LinkManager::takeHandedOver()
{
    auto handed = ReceiveLinkConnection(handOff_);
    if (!handed) {
        // The listener went away; it is looked for again a little later.
        handOff_.close();
        return;
    }
    if (handed->first == settings_.controlPort)
        takeControl(std::move(handed->second));
    else if (handed->first == settings_.infoPort)
        takeInfo(std::move(handed->second));
}

void LinkManager::takeControl(LinkSocket socket)
{
    auto first = socket.readWord(Clock::now() + 2s);
    if (!first)
        return;
    {
        // A remote-call channel the desktop asked for announces its request id.
        std::lock_guard lock(mutex_);
        if (waiting_.count(*first)) {
            waiting_.erase(*first);
            arrived_.emplace(*first, std::move(socket));
            changed_.notify_all();
            return;
        }
    }
    // Anything but the start of a handshake (a channel that came too late, say)
    // is dropped without disturbing the handheld we know.
    if (*first != 0 && *first != 4 && *first != 6)
        return;
    if (control_.valid())
        detach(); // a handheld connecting afresh replaces the one we knew
    handshake(socket, *first);
}

bool LinkManager::handshake(LinkSocket& socket, uint32_t first)
{
    auto deadline = Clock::now() + kHandshakeTime;
    std::optional<uint32_t> word = first;
    for (int steps = 0; word && steps < 8; ++steps, word = socket.readWord(deadline)) {
        if (*word == 0) {
            if (!socket.writeWord(3, deadline))
                return false;
            continue;
        }
        if (*word == 6) {
            for (uint32_t answer : {7u, 8u, 4u, 5u})
                if (!socket.writeWord(answer, deadline))
                    return false;
            continue;
        }
        if (*word != 4)
            return false;
        auto length = socket.readWord(deadline);
        if (!length || *length > kMaxDeviceInfoSize)
            return false;
        auto info = ReadParsed(socket, *length, deadline, ParseDeviceInfoBlock);
        if (!info)
            return false;
        State state = State::Attached;
        if (info->passwordKey == kPasswordOnDevice) {
            // The user unlocks on the handheld; it says so with a 0 word later.
            if (!socket.writeWord(8, deadline))
                return false;
            state = State::AwaitingUnlock;
        } else if (info->passwordKey != 0) {
            state = unlock(socket, info->passwordKey, 2) ? State::Attached : State::Locked;
        }
        attach(std::move(socket), std::move(*info), state, 0);
        return true;
    }
    return false;
}

bool LinkManager::unlock(LinkSocket& socket, uint32_t key, size_t replySize)
{
    if (!settings_.password)
        return false;
    auto deadline = Clock::now() + kHandshakeTime;
    auto encoded = EncodeLinkPassword(*settings_.password, key);
    uint8_t length[2];
    platform::WriteLE16(length, static_cast<uint16_t>(encoded.size()));
    if (!socket.writeAll(length, 2, deadline) || !socket.writeAll(encoded.data(), encoded.size(), deadline))
        return false;
    uint8_t reply[2] = {0, 0};
    if (!socket.readExact(reply, replySize, deadline))
        return false;
    return reply[0] != 0 || reply[1] != 0;
}

void LinkManager::acceptInfo()
{
    LinkSocket socket = infoListener_.accept(0ms);
    if (socket.valid())
        takeInfo(std::move(socket));
}

void LinkManager::takeInfo(LinkSocket socket)
{
    uint32_t key = 0;
    if (control_.valid())
        detach();
    legacyHandshake(socket, key);
}

bool LinkManager::legacyHandshake(LinkSocket& socket, uint32_t& key)
{
    auto deadline = Clock::now() + kHandshakeTime;
    for (int steps = 0; steps < 8; ++steps) {
        auto header = socket.readWord(deadline);
        if (!header)
            return false;
        if (*header == 0)
            continue;
        if (*header >= kLegacyChallenge) {
            key = *header & 0xFF;
            continue;
        }
        if (*header < kMinLegacyInfoSize)
            return false;
        auto info = ReadParsed(socket, *header, deadline, ParseLegacyInfoPacket);
        if (!info)
            return false;
        info->passwordKey = key;
        State state = State::Attached;
        if (key != 0)
            state = unlock(socket, key, 2) ? State::Attached : State::Locked;
        attach(std::move(socket), std::move(*info), state, key);
        return true;
    }
    return false;
}

void LinkManager::attach(LinkSocket socket, LinkDeviceInfo info, State state, uint32_t legacyKey)
{
    std::lock_guard lock(mutex_);
    control_ = std::move(socket);
    info_ = std::move(info);
    state_ = state;
    legacyKey_ = legacyKey;
    lastPing_ = Clock::now();
    missedPings_ = 0;
    ++generation_;
    changed_.notify_all();
}

void LinkManager::detach()
{
    std::lock_guard lock(mutex_);
    control_.close();
    info_.reset();
    state_ = State::Absent;
    arrived_.clear();
    ++generation_;
    changed_.notify_all();
}

void LinkManager::readControl()
{
    auto word = control_.readWord(Clock::now() + 1s);
    if (!word) {
        detach();
        return;
    }
    std::lock_guard lock(mutex_);
    if (state_ == State::AwaitingUnlock && *word == 0) {
        auto deadline = Clock::now() + 2s;
        if (control_.writeWord(0, deadline) && control_.writeWord(0x0C, deadline)) {
            state_ = State::Attached;
            changed_.notify_all();
        }
    } else if (info_ && info_->legacy && *word == kPing) {
        missedPings_ = 0;
    }
}

void LinkManager::ping()
{
    auto now = Clock::now();
    if (now - lastPing_ < kPingInterval)
        return;
    lastPing_ = now;
    bool sent;
    {
        std::lock_guard lock(mutex_);
        sent = control_.writeWord(kPing, now + 1s);
        ++missedPings_;
    }
    if (!sent || missedPings_ >= kMaxMissedPings)
        detach();
}

std::optional<LinkManager::Session> LinkManager::openSession(std::chrono::milliseconds timeout)
{
    std::unique_lock lock(mutex_);
    if (state_ != State::Attached || !info_)
        return std::nullopt;
    uint64_t generation = generation_;
    RapiDialect dialect = info_->dialect();
    if (info_->legacy) {
        uint32_t key = legacyKey_;
        lock.unlock();
        LinkSocket socket = LinkSocket::connect(settings_.deviceAddress, settings_.rapiPort, timeout);
        if (!socket.valid())
            return std::nullopt;
        if (key != 0 && !unlock(socket, key, 1))
            return std::nullopt;
        return Session{RapiChannel(std::move(socket)), dialect, generation};
    }
    // Request ids stay clear of the handshake's words (0, 4, 6), so a channel
    // that arrives late is never taken for a new handheld.
    uint32_t id = kFirstRequestId + (nextRequest_++ % 0x7FFF0000);
    waiting_.insert(id);
    auto deadline = Clock::now() + timeout;
    bool asked = control_.writeWord(5, deadline) && control_.writeWord(4, deadline) && control_.writeWord(id, deadline);
    if (asked)
        changed_.wait_until(lock, deadline, [&] { return arrived_.count(id) || generation_ != generation || stop_; });
    waiting_.erase(id);
    auto it = arrived_.find(id);
    if (it == arrived_.end()) {
        // A handheld that no longer answers on its control connection is gone
        // (pulled out without its connections being closed): end that connection,
        // so the thread forgets it and later calls do not wait for it again.
        if (generation_ == generation && !stop_)
            control_.shutdown();
        return std::nullopt;
    }
    LinkSocket socket = std::move(it->second);
    arrived_.erase(it);
    return Session{RapiChannel(std::move(socket)), dialect, generation};
}

#pragma once

// One remote-call connection: messages framed by a 32-bit little-endian length.
// A frame longer than the channel's limit is refused before anything is
// allocated for it, and every wait has a deadline.

#include "pavrixwm/LinkSocket.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

class RapiChannel {
public:
    using Bytes = std::vector<uint8_t>;
    // Room for the largest read or write the link moves in one call, with its header.
    static constexpr uint32_t kMaxFrame = (1u << 20) + 4096;

    explicit RapiChannel(LinkSocket socket) : socket_(std::move(socket)) {}

    bool open() const { return socket_.valid(); }
    LinkSocket& socket() { return socket_; }
    bool send(const Bytes& body, std::chrono::milliseconds timeout);
    // The next frame's body; none on a timeout, a close, or a length over the limit.
    std::optional<Bytes> receive(std::chrono::milliseconds timeout, uint32_t limit = kMaxFrame);

private:
    LinkSocket socket_;
};

#include "pavrixwm/RapiChannel.h"

#include "platform/LittleEndian.h"

bool RapiChannel::send(const Bytes& body, std::chrono::milliseconds timeout)
{
    Bytes frame;
    frame.reserve(body.size() + 4);
    platform::AppendLE32(frame, static_cast<uint32_t>(body.size()));
    frame.insert(frame.end(), body.begin(), body.end());
    return socket_.writeAll(frame.data(), frame.size(), LinkSocket::Clock::now() + timeout);
}

std::optional<RapiChannel::Bytes> RapiChannel::receive(std::chrono::milliseconds timeout, uint32_t limit)
{
    auto deadline = LinkSocket::Clock::now() + timeout;
    auto length = socket_.readWord(deadline);
    if (!length || *length > limit)
        return std::nullopt;
    Bytes body(*length);
    if (!socket_.readExact(body.data(), body.size(), deadline))
        return std::nullopt;
    return body;
}

#pragma once

#include "platform/ByteBuffer.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>

namespace platform {

class SocketStream;

// The body of one request as it arrives on a socket stream: the bytes a
// Content-Length announces, or a chunked body decoded as it comes. Whoever reads
// it (a store taking a PUT, the connection taking a PROPFIND document) sees only
// the body's own bytes and learns at the end whether all of them arrived.
class BodyStream {
public:
    // A body of exactly `length` bytes.
    static BodyStream withLength(SocketStream& stream, uint64_t length);
    // A body in chunked transfer coding, decoded; trailers are read and dropped.
    static BodyStream chunked(SocketStream& stream);

    // Runs once, just before the first byte is asked of the peer (the interim
    // "100 Continue" answer goes out there); a body never read never runs it.
    void setBeforeFirstRead(std::function<void()> hook) { beforeFirstRead_ = std::move(hook); }
    // Refuses a body larger than this: tooLarge() holds and nothing more is read.
    // An announced length over it is refused at once, before any byte is read.
    void setLimit(uint64_t limit);

    // Up to `count` body bytes; fewer only when the body is over (complete() tells
    // whether it arrived whole) or has failed.
    size_t read(void* buffer, size_t count);
    // Appends the next up-to-`count` body bytes to `buffer`. True when they are
    // whole: `count` of them, or the last ones of a body that arrived complete;
    // false when the body ended early, broke its framing or passed its limit.
    bool readNext(ByteBuffer& buffer, size_t count);
    // Hands the rest of the body to `write` in blocks of `blockSize` bytes (the
    // last may be shorter). Up to 256 KiB of whole blocks are read at a time and
    // written before more is read, so memory stays flat. A block the body ends
    // inside of, or an empty one, is never written; the whole ones before it are.
    // True when every byte arrived and `write` took every block.
    bool copyInBlocks(size_t blockSize, const std::function<bool(const uint8_t* bytes, size_t size)>& write);
    // Every byte of the body arrived and nothing of it is left to read.
    bool complete() const { return state_ == State::Done; }
    // The body ended early, its framing was malformed, or the peer was too slow.
    bool failed() const { return state_ == State::Failed; }
    bool tooLarge() const { return tooLarge_; }
    // The announced length; none for a chunked body.
    std::optional<uint64_t> length() const { return chunked_ ? std::nullopt : std::optional<uint64_t>(length_); }
    uint64_t bytesRead() const { return delivered_; }

private:
    enum class State { Data, ChunkSize, ChunkEnd, Trailers, Done, Failed };
    BodyStream(SocketStream& stream, bool chunked, uint64_t length);
    void firstRead();
    bool readChunkSize();
    bool readLineEnd();
    bool skipTrailers();
    // One line of chunk framing into `line` (its line end removed); false when the
    // stream ends or the line is longer than any real framing line.
    bool readFramingLine(char* line, int capacity);

    SocketStream* stream_;
    bool chunked_;
    uint64_t length_;    // the whole body (length framing) or the current chunk
    uint64_t remaining_; // bytes left in the body (length framing) or in the chunk
    uint64_t delivered_ = 0;
    std::optional<uint64_t> limit_;
    bool tooLarge_ = false;
    State state_;
    std::function<void()> beforeFirstRead_;
};

} // namespace platform

#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ByteBuffer.h"

namespace platform {

// A buffered stream over a connected socket, read and written like a stdio stream
// opened "r+". The connection reads request lines and writes answers through it; a
// store reads a PUT body from it (through a BodyStream) without knowing the
// connection.
//
// Every wait on the peer is bounded by the limits set below. A read or write that
// runs into one fails as if the peer had gone: reads end, later writes are dropped.
class SocketStream {
public:
    using Clock = std::chrono::steady_clock;

    // Null for no descriptor (a negative one). Every send and receive asks not to
    // block, whatever the descriptor's mode: every wait goes through the limits below.
    static std::unique_ptr<SocketStream> open(int fd);
    ~SocketStream();

    SocketStream(const SocketStream&) = delete;
    SocketStream& operator=(const SocketStream&) = delete;

    // No read or write waits past this point (none: no deadline).
    void setDeadline(std::optional<Clock::time_point> deadline);
    // From now on, a wait on the peer that sees nothing move for `stall`, or a peer
    // that moves fewer than `bytesPerSecond` on average over each `window` of time
    // spent waiting on it, fails the transfer. Time the caller spends elsewhere (a
    // slow device) does not count against the peer.
    void setPace(std::chrono::milliseconds stall, uint64_t bytesPerSecond, std::chrono::milliseconds window);

    // As fgets: reads until a line feed has been read or capacity - 1 bytes have
    // been read, and terminates with NUL. The number of bytes read (a line may hold
    // NUL bytes); 0 when the stream ends (or fails) before any byte.
    size_t getLine(char* buffer, int capacity);
    // Reads up to `count` bytes as one block; returns how many arrived (fewer only
    // when the stream ended, failed or ran into a limit).
    size_t read(void* buffer, size_t count);

    // Buffered writes. Write failures (peer gone, a limit) are remembered and later
    // writes dropped; nothing is reported to the caller.
    void write(const void* bytes, size_t count);
    void write(const std::string& text) { write(text.data(), text.size()); }
    // The parts one after another, then CR LF: a header line.
    void writeLine(std::initializer_list<std::string_view> parts);
    void flush();
    // Sends up to `count` bytes of the file `fromFd` from its position, which moves
    // on, after what is buffered, through a buffer of at most 64 KiB. How many
    // went: fewer when the file ended, or when the peer failed (writeFailed() then
    // says so).
    size_t sendFile(int fromFd, size_t count);
    // While held, the kernel sends only full segments: a body sent in many pieces
    // goes out without a short segment after each. Released, the rest goes at once.
    void holdPartialSegments(bool hold);

    // Flushes, ends the sending side, discards what the peer still sends for a
    // short bounded time, then closes the descriptor. Closing with unread input
    // would make the kernel answer with a reset that can destroy the answer the
    // peer has not read yet. With `inputComplete` (the owner read all the peer
    // announced) and nothing unread, it closes at once instead.
    void close(bool inputComplete = false);
    // How long close() may keep draining at most (2 s unless set).
    void setLingerLimit(std::chrono::milliseconds limit) { lingerLimit_ = limit; }

    bool writeFailed() const { return writeFailed_; }
    // Whether a read ended the stream (end of input, a reset or a limit).
    bool readEnded() const { return readEnded_; }
    // Whether a wait on the peer ran out of time (a deadline or a pace limit).
    bool timedOut() const { return timedOut_; }
    int fd() const { return fd_; }

private:
    explicit SocketStream(int fd) : fd_(fd) {}
    bool fill();
    bool sendAll(const uint8_t* bytes, size_t count);
    bool sendAll(const uint8_t* first, size_t firstCount, const uint8_t* second, size_t secondCount, int flags = 0);
    // Waits until the socket is ready for `events` within the limits; false when a
    // limit ran out first or the wait failed.
    bool waitReady(short events);
    void moved(size_t bytes) { windowBytes_ += bytes; }

    int fd_ = -1;
    ByteBuffer in_ = ByteBuffer(65536); // not zeroed: only what arrives is read
    size_t inPos_ = 0;
    size_t inEnd_ = 0;
    bool readEnded_ = false;
    std::vector<uint8_t> out_;
    ByteBuffer filePiece_; // sendFile()'s buffer
    bool writeFailed_ = false;
    bool closed_ = false;
    bool timedOut_ = false;
    std::chrono::milliseconds lingerLimit_{2000};

    std::optional<Clock::time_point> deadline_;
    bool paced_ = false;
    std::chrono::milliseconds stall_{0};
    uint64_t bytesPerSecond_ = 0;
    std::chrono::milliseconds window_{0};
    Clock::duration windowWaited_{0}; // time spent waiting on the peer in this window
    uint64_t windowBytes_ = 0;        // bytes moved in this window
};

} // namespace platform

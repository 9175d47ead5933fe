#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace platform {

// A buffered stream over a connected socket, read and written like a stdio stream
// opened "r+". The connection reads request lines and writes answers through it; a
// store reads a PUT body from it without knowing the connection.
class SocketStream {
public:
    // Null when the descriptor is not an open file (nothing is read or written).
    static std::unique_ptr<SocketStream> open(int fd);
    ~SocketStream();

    SocketStream(const SocketStream&) = delete;
    SocketStream& operator=(const SocketStream&) = delete;

    // A receive and a send time-out: a read or write that makes no progress for this
    // long fails as if the peer had gone.
    void setIdleTimeout(std::chrono::seconds timeout);

    // As fgets: reads until a line feed has been read or capacity - 1 bytes have
    // been read, and terminates with NUL. False when the stream ends (or fails)
    // before any byte.
    bool getLine(char* buffer, int capacity);
    // Reads up to `count` bytes as one block; returns how many arrived (fewer only
    // when the stream ended, failed or timed out).
    size_t read(void* buffer, size_t count);

    // Buffered writes. Write failures (peer gone, time-out) are remembered and
    // later writes dropped; nothing is reported to the caller.
    void write(const void* bytes, size_t count);
    void write(const std::string& text) { write(text.data(), text.size()); }
    void writeFormat(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void flush();

    // Flushes, ends the sending side, discards what the peer still sends for a
    // short bounded time, then closes the descriptor. Closing with unread input
    // would make the kernel answer with a reset that can destroy the answer the
    // peer has not read yet.
    void close();

    bool writeFailed() const { return writeFailed_; }
    int fd() const { return fd_; }

private:
    explicit SocketStream(int fd) : fd_(fd) {}
    bool fill();
    bool sendAll(const uint8_t* bytes, size_t count);

    int fd_ = -1;
    std::vector<uint8_t> in_ = std::vector<uint8_t>(65536);
    size_t inPos_ = 0;
    size_t inEnd_ = 0;
    bool readEnded_ = false;
    std::vector<uint8_t> out_;
    bool writeFailed_ = false;
    bool closed_ = false;
};

} // namespace platform

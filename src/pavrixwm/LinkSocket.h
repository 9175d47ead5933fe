#pragma once

// One TCP (or UDP) socket of the device link, owned: every wait on it has a
// deadline, so a handheld that stops answering is given up instead of blocking
// its caller, and nothing is read beyond what the caller asked for.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

class LinkSocket {
public:
    using Clock = std::chrono::steady_clock;

    LinkSocket() = default;
    explicit LinkSocket(int fd) : fd_(fd) {}
    ~LinkSocket() { close(); }
    LinkSocket(LinkSocket&& other) noexcept : fd_(other.release()) {}
    LinkSocket& operator=(LinkSocket&& other) noexcept;
    LinkSocket(const LinkSocket&) = delete;
    LinkSocket& operator=(const LinkSocket&) = delete;

    // A listening socket on address:port (address reuse on); invalid on failure.
    static LinkSocket listen(const std::string& address, uint16_t port);
    // A connection to address:port within `timeout`; invalid on failure.
    static LinkSocket connect(const std::string& address, uint16_t port, std::chrono::milliseconds timeout);
    // Sends one UDP datagram; false when it could not be sent.
    static bool sendDatagram(const std::string& address, uint16_t port, const uint8_t* data, size_t size);

    bool valid() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    int release()
    {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void close();
    // Ends both directions now, so a thread blocked on the socket wakes up.
    void shutdown();

    // An accepted connection, waiting at most `timeout`; invalid when none came.
    LinkSocket accept(std::chrono::milliseconds timeout);
    // Exactly `size` bytes before `deadline`; false on a timeout, a close or an error.
    bool readExact(uint8_t* data, size_t size, Clock::time_point deadline);
    bool writeAll(const uint8_t* data, size_t size, Clock::time_point deadline);
    // Whether bytes (or the peer's close) wait to be read within `timeout`.
    bool readable(std::chrono::milliseconds timeout);
    std::optional<uint32_t> readWord(Clock::time_point deadline);
    bool writeWord(uint32_t value, Clock::time_point deadline);

    // The local port (after listen on port 0).
    uint16_t localPort() const;

private:
    // Waits for `events` until the deadline.
    bool wait(short events, Clock::time_point deadline);
    template <class Step>
    bool transferAll(size_t size, short events, Clock::time_point deadline, Step step);
    int fd_ = -1;
};

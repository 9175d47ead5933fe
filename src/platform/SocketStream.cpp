#include "platform/SocketStream.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

namespace platform {

namespace {
constexpr size_t kWriteBufferLimit = 65536;
// How long close() keeps reading what a client still sends after the answer.
constexpr auto kLingerLimit = std::chrono::milliseconds(2000);
} // namespace

std::unique_ptr<SocketStream> SocketStream::open(int fd)
{
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0)
        return nullptr;
    return std::unique_ptr<SocketStream>(new SocketStream(fd));
}

SocketStream::~SocketStream() { close(); }

void SocketStream::setIdleTimeout(std::chrono::seconds timeout)
{
    struct timeval tv {};
    tv.tv_sec = static_cast<time_t>(timeout.count());
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

bool SocketStream::fill()
{
    if (readEnded_ || closed_)
        return false;
    inPos_ = 0;
    inEnd_ = 0;
    for (;;) {
        ssize_t n = ::recv(fd_, in_.data(), in_.size(), 0);
        if (n > 0) {
            inEnd_ = static_cast<size_t>(n);
            return true;
        }
        if (n < 0 && errno == EINTR)
            continue;
        // End of stream, a time-out (EAGAIN) or a reset: the request ends here.
        readEnded_ = true;
        return false;
    }
}

bool SocketStream::getLine(char* buffer, int capacity)
{
    if (capacity <= 0)
        return false;
    int n = 0;
    while (n < capacity - 1) {
        if (inPos_ == inEnd_ && !fill())
            break;
        char c = static_cast<char>(in_[inPos_++]);
        buffer[n++] = c;
        if (c == '\n')
            break;
    }
    buffer[n] = '\0';
    return n > 0;
}

size_t SocketStream::read(void* buffer, size_t count)
{
    auto* dst = static_cast<uint8_t*>(buffer);
    size_t got = 0;
    while (got < count) {
        if (inPos_ == inEnd_) {
            // Large blocks go straight into the caller's buffer.
            if (count - got >= in_.size() && !readEnded_ && !closed_) {
                ssize_t n = ::recv(fd_, dst + got, count - got, 0);
                if (n > 0) {
                    got += static_cast<size_t>(n);
                    continue;
                }
                if (n < 0 && errno == EINTR)
                    continue;
                readEnded_ = true;
                break;
            }
            if (!fill())
                break;
        }
        size_t take = std::min(count - got, inEnd_ - inPos_);
        std::memcpy(dst + got, in_.data() + inPos_, take);
        inPos_ += take;
        got += take;
    }
    return got;
}

bool SocketStream::sendAll(const uint8_t* bytes, size_t count)
{
    while (count > 0) {
        ssize_t n = ::send(fd_, bytes, count, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        bytes += n;
        count -= static_cast<size_t>(n);
    }
    return true;
}

void SocketStream::write(const void* bytes, size_t count)
{
    if (writeFailed_ || closed_ || count == 0)
        return;
    const auto* src = static_cast<const uint8_t*>(bytes);
    if (out_.size() + count <= kWriteBufferLimit) {
        out_.insert(out_.end(), src, src + count);
        return;
    }
    flush();
    if (writeFailed_)
        return;
    if (count <= kWriteBufferLimit) {
        out_.assign(src, src + count);
        return;
    }
    if (!sendAll(src, count))
        writeFailed_ = true;
}

void SocketStream::writeFormat(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    int needed = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (needed > 0) {
        std::string text(static_cast<size_t>(needed) + 1, '\0');
        std::vsnprintf(text.data(), text.size(), format, args);
        text.resize(static_cast<size_t>(needed));
        write(text);
    }
    va_end(args);
}

void SocketStream::flush()
{
    if (out_.empty() || closed_)
        return;
    if (!writeFailed_ && !sendAll(out_.data(), out_.size()))
        writeFailed_ = true;
    out_.clear();
}

void SocketStream::close()
{
    if (closed_)
        return;
    flush();
    ::shutdown(fd_, SHUT_WR);
    // Drain what the peer still sends (an unread body, a second request) until it
    // closes its side or the limit passes.
    auto deadline = std::chrono::steady_clock::now() + kLingerLimit;
    uint8_t scratch[16384];
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            break;
        struct pollfd pfd {fd_, POLLIN, 0};
        int r = ::poll(&pfd, 1, static_cast<int>(left.count()));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            break;
        ssize_t n = ::recv(fd_, scratch, sizeof scratch, MSG_DONTWAIT);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0)
            break;
    }
    ::close(fd_);
    closed_ = true;
}

} // namespace platform

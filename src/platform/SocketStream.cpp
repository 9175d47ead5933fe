#include "platform/SocketStream.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

namespace platform {

namespace {
constexpr size_t kWriteBufferLimit = 65536;
// Enough for the head of an answer and a small body, made at once rather than grown.
constexpr size_t kFirstWriteBuffer = 4096;
// A read of this much or more is received into the caller's buffer.
constexpr size_t kDirectRead = 4096;
// A block this large goes to the socket as it is rather than through the buffer.
constexpr size_t kDirectWrite = 32768;
// How long close() waits for more of what a client still sends once the client has
// gone quiet: a silent peer never holds the next client back for long.
constexpr auto kLingerQuiet = std::chrono::milliseconds(200);
} // namespace

std::unique_ptr<SocketStream> SocketStream::open(int fd)
{
    if (fd < 0)
        return nullptr;
    return std::unique_ptr<SocketStream>(new SocketStream(fd));
}

SocketStream::~SocketStream() { close(); }

void SocketStream::setDeadline(std::optional<Clock::time_point> deadline) { deadline_ = deadline; }

void SocketStream::setPace(std::chrono::milliseconds stall, uint64_t bytesPerSecond, std::chrono::milliseconds window)
{
    paced_ = true;
    stall_ = stall;
    bytesPerSecond_ = bytesPerSecond;
    window_ = window;
    windowWaited_ = Clock::duration::zero();
    windowBytes_ = 0;
}

bool SocketStream::waitReady(short events)
{
    using std::chrono::milliseconds;
    const auto waitStart = Clock::now();
    auto accountedUntil = waitStart;
    for (;;) {
        auto now = Clock::now();
        // Past the deadline, what the peer sent in time (while it waited for its
        // turn, say) is still taken; nothing more is waited for.
        if (deadline_ && now >= *deadline_) {
            struct pollfd pfd {fd_, events, 0};
            if (::poll(&pfd, 1, 0) > 0)
                return true;
            timedOut_ = true;
            return false;
        }
        long timeout = -1;
        auto bound = [&](Clock::duration left) {
            long ms = std::max<long>(0, std::chrono::ceil<milliseconds>(left).count());
            timeout = timeout < 0 ? ms : std::min(timeout, ms);
        };
        if (deadline_)
            bound(*deadline_ - now);
        if (paced_) {
            windowWaited_ += now - accountedUntil;
            accountedUntil = now;
            if (now - waitStart >= stall_) {
                timedOut_ = true;
                return false;
            }
            if (windowWaited_ >= window_) {
                uint64_t required = bytesPerSecond_ * static_cast<uint64_t>(window_.count()) / 1000;
                if (windowBytes_ < required) {
                    timedOut_ = true;
                    return false;
                }
                windowWaited_ = Clock::duration::zero();
                windowBytes_ = 0;
            }
            bound(stall_ - (now - waitStart));
            bound(window_ - windowWaited_);
        }
        struct pollfd pfd {fd_, events, 0};
        int r = ::poll(&pfd, 1, static_cast<int>(std::min<long>(timeout, 1L << 30)));
        if (r > 0) {
            if (paced_)
                windowWaited_ += Clock::now() - accountedUntil;
            return true;
        }
        if (r < 0 && errno != EINTR)
            return false;
    }
}

bool SocketStream::fill()
{
    if (readEnded_ || closed_)
        return false;
    inPos_ = 0;
    inEnd_ = 0;
    // What has already arrived is taken without a wait: a client mostly sends its
    // request before the daemon gets to it, and a poll first would cost a second
    // call for nothing.
    for (;;) {
        ssize_t n = ::recv(fd_, in_.data(), in_.size(), MSG_DONTWAIT);
        if (n > 0) {
            inEnd_ = static_cast<size_t>(n);
            moved(inEnd_);
            return true;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && waitReady(POLLIN))
            continue;
        break; // end of stream, a reset or a limit
    }
    // The request ends here, whatever ended it.
    readEnded_ = true;
    return false;
}

size_t SocketStream::getLine(char* buffer, int capacity)
{
    if (capacity <= 0)
        return 0;
    const size_t room = static_cast<size_t>(capacity) - 1;
    size_t n = 0;
    // What is buffered is searched and copied a run at a time, not byte by byte.
    while (n < room) {
        if (inPos_ == inEnd_ && !fill())
            break;
        const uint8_t* from = in_.data() + inPos_;
        size_t take = std::min(room - n, inEnd_ - inPos_);
        const void* lineFeed = std::memchr(from, '\n', take);
        if (lineFeed)
            take = static_cast<size_t>(static_cast<const uint8_t*>(lineFeed) - from) + 1;
        std::memcpy(buffer + n, from, take);
        n += take;
        inPos_ += take;
        if (lineFeed)
            break;
    }
    buffer[n] = '\0';
    return n;
}

size_t SocketStream::read(void* buffer, size_t count)
{
    auto* dst = static_cast<uint8_t*>(buffer);
    size_t got = 0;
    while (got < count) {
        if (inPos_ == inEnd_) {
            // Large reads go straight into the caller's buffer, the rest of a block
            // that a first recv only partly filled too: through the buffer, most of
            // a streamed body would be copied once more.
            if (count - got >= kDirectRead && !readEnded_ && !closed_) {
                ssize_t n = ::recv(fd_, dst + got, count - got, MSG_DONTWAIT);
                if (n > 0) {
                    got += static_cast<size_t>(n);
                    moved(static_cast<size_t>(n));
                    continue;
                }
                if (n < 0 && errno == EINTR)
                    continue;
                if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && waitReady(POLLIN))
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

bool SocketStream::sendAll(const uint8_t* bytes, size_t count) { return sendAll(bytes, count, nullptr, 0); }

// Both blocks in one call where the socket takes them: what is buffered (an
// answer's head) goes out with the body that follows it, without copying the body.
// The socket is only waited on once it is full.
bool SocketStream::sendAll(const uint8_t* first, size_t firstCount, const uint8_t* second, size_t secondCount,
                           int flags)
{
    while (firstCount + secondCount > 0) {
        struct iovec parts[2] = {{const_cast<uint8_t*>(first), firstCount}, {const_cast<uint8_t*>(second), secondCount}};
        struct msghdr message {};
        message.msg_iov = firstCount > 0 ? parts : parts + 1;
        message.msg_iovlen = firstCount > 0 && secondCount > 0 ? 2 : 1;
        ssize_t n = ::sendmsg(fd_, &message, MSG_NOSIGNAL | MSG_DONTWAIT | flags);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!waitReady(POLLOUT))
                return false;
            continue;
        }
        if (n <= 0)
            return false;
        auto sent = static_cast<size_t>(n);
        moved(sent);
        size_t fromFirst = std::min(sent, firstCount);
        first += fromFirst;
        firstCount -= fromFirst;
        second += sent - fromFirst;
        secondCount -= sent - fromFirst;
    }
    return true;
}

void SocketStream::write(const void* bytes, size_t count)
{
    if (writeFailed_ || closed_ || count == 0)
        return;
    const auto* src = static_cast<const uint8_t*>(bytes);
    if (count < kDirectWrite && out_.size() + count <= kWriteBufferLimit) {
        if (out_.capacity() == 0)
            out_.reserve(kFirstWriteBuffer);
        out_.insert(out_.end(), src, src + count);
        return;
    }
    // A large block (a file's contents) is not copied, and more than the buffer
    // holds cannot wait: what the buffer holds goes out with these bytes.
    if (!sendAll(out_.data(), out_.size(), src, count))
        writeFailed_ = true;
    out_.clear();
}

void SocketStream::holdPartialSegments(bool hold)
{
    if (!hold)
        flush();
    int on = hold ? 1 : 0;
    // Not a TCP socket (a test's socket pair): nothing to hold, and nothing lost.
    (void)::setsockopt(fd_, IPPROTO_TCP, TCP_CORK, &on, sizeof on);
}

// A copy through a buffer rather than sendfile(2): the clients are on this
// machine, and over loopback the kernel's splice path costs more than the copy
// (a 64 MiB GET took about a third less of the daemon's time this way).
size_t SocketStream::sendFile(int fromFd, size_t count)
{
    // Made once and kept: a body is sent in many calls, one piece each.
    if (size_t piece = std::min(count, kWriteBufferLimit); filePiece_.size() < piece)
        filePiece_.resize(piece);
    size_t copied = 0;
    while (copied < count && !writeFailed_) {
        ssize_t n = ::read(fromFd, filePiece_.data(), std::min(filePiece_.size(), count - copied));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        write(filePiece_.data(), static_cast<size_t>(n));
        copied += static_cast<size_t>(n);
    }
    return copied;
}

// Appended as they are: a header line costs no formatting, and an answer's head is
// a handful of them.
void SocketStream::writeLine(std::initializer_list<std::string_view> parts)
{
    size_t total = 2;
    for (std::string_view part : parts)
        total += part.size();
    // A header line is a few short parts: the buffer grows once for all of them.
    if (writeFailed_ || closed_ || total >= kDirectWrite || out_.size() + total > kWriteBufferLimit) {
        for (std::string_view part : parts)
            write(part.data(), part.size());
        write("\r\n", 2);
        return;
    }
    if (out_.capacity() == 0)
        out_.reserve(kFirstWriteBuffer);
    size_t at = out_.size();
    out_.resize(at + total);
    for (std::string_view part : parts) {
        if (!part.empty()) // an empty view may hold no pointer at all
            std::memcpy(out_.data() + at, part.data(), part.size());
        at += part.size();
    }
    std::memcpy(out_.data() + at, "\r\n", 2);
}

void SocketStream::flush()
{
    if (out_.empty() || closed_)
        return;
    if (!writeFailed_ && !sendAll(out_.data(), out_.size()))
        writeFailed_ = true;
    out_.clear();
}

void SocketStream::close(bool inputComplete)
{
    if (closed_)
        return;
    // The last of the answer is held back so that the close below sends it in one
    // segment with the end of the stream: the client wakes once for both.
    if (!out_.empty() && !writeFailed_ && !sendAll(out_.data(), out_.size(), nullptr, 0, MSG_MORE))
        writeFailed_ = true;
    out_.clear();
    int pending = 0;
    bool nothingUnread = inPos_ == inEnd_ && ::ioctl(fd_, FIONREAD, &pending) == 0 && pending == 0;
    // Nothing unread, so closing sends no reset; waiting for the peer's close
    // would only hold the next client back. A peer that ran out of time has had
    // its chance: whatever it may still send is not waited for.
    if (nothingUnread && (inputComplete || timedOut_)) {
        ::close(fd_);
        closed_ = true;
        return;
    }
    ::shutdown(fd_, SHUT_WR);
    // Drain what the peer still sends (an unread body, a second request) until it
    // closes its side, goes quiet or the limit passes.
    auto deadline = std::chrono::steady_clock::now() + lingerLimit_;
    uint8_t scratch[16384];
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            break;
        left = std::min<std::chrono::milliseconds>(left, kLingerQuiet);
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

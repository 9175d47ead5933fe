#include "pavrixwm/LinkSocket.h"

#include "platform/LittleEndian.h"

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

bool Address(const std::string& address, uint16_t port, sockaddr_in& out)
{
    out = {};
    out.sin_family = AF_INET;
    out.sin_port = htons(port);
    return ::inet_pton(AF_INET, address.c_str(), &out.sin_addr) == 1;
}

int Remaining(LinkSocket::Clock::time_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - LinkSocket::Clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, 60000));
}

} // namespace

LinkSocket& LinkSocket::operator=(LinkSocket&& other) noexcept
{
    if (this != &other) {
        close();
        fd_ = other.release();
    }
    return *this;
}

void LinkSocket::close()
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

void LinkSocket::shutdown()
{
    if (fd_ >= 0)
        ::shutdown(fd_, SHUT_RDWR);
}

LinkSocket LinkSocket::listen(const std::string& address, uint16_t port)
{
    sockaddr_in sa;
    if (!Address(address, port, sa))
        return {};
    LinkSocket socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!socket.valid())
        return {};
    int on = 1;
    ::setsockopt(socket.fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (::bind(socket.fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(socket.fd_, 16) != 0)
        return {};
    return socket;
}

LinkSocket LinkSocket::connect(const std::string& address, uint16_t port, std::chrono::milliseconds timeout)
{
    sockaddr_in sa;
    if (!Address(address, port, sa))
        return {};
    LinkSocket socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!socket.valid())
        return {};
    if (::connect(socket.fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        if (errno != EINPROGRESS || !socket.wait(POLLOUT, Clock::now() + timeout))
            return {};
        int error = 0;
        socklen_t length = sizeof error;
        if (::getsockopt(socket.fd_, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0)
            return {};
    }
    int on = 1;
    ::setsockopt(socket.fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return socket;
}

bool LinkSocket::sendDatagram(const std::string& address, uint16_t port, const uint8_t* data, size_t size)
{
    sockaddr_in sa;
    if (!Address(address, port, sa))
        return false;
    LinkSocket socket(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    return socket.valid() &&
           ::sendto(socket.fd_, data, size, 0, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == static_cast<ssize_t>(size);
}

LinkSocket LinkSocket::accept(std::chrono::milliseconds timeout)
{
    if (!wait(POLLIN, Clock::now() + timeout))
        return {};
    LinkSocket accepted(::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
    if (accepted.valid()) {
        int on = 1;
        ::setsockopt(accepted.fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    }
    return accepted;
}

bool LinkSocket::wait(short events, Clock::time_point deadline)
{
    for (;;) {
        pollfd p{fd_, events, 0};
        int n = ::poll(&p, 1, Remaining(deadline));
        if (n > 0)
            return true;
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0 && Clock::now() < deadline)
            continue;
        return false;
    }
}

bool LinkSocket::readable(std::chrono::milliseconds timeout)
{
    return valid() && wait(POLLIN, Clock::now() + timeout);
}

// One loop for both directions: `step` moves what it can of the bytes from
// `done` on; nothing moved is the peer gone.
template <class Step>
bool LinkSocket::transferAll(size_t size, short events, Clock::time_point deadline, Step step)
{
    size_t done = 0;
    while (done < size) {
        if (!valid() || !wait(events, deadline))
            return false;
        ssize_t n = step(done);
        if (n == 0)
            return false;
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
                continue;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

bool LinkSocket::readExact(uint8_t* data, size_t size, Clock::time_point deadline)
{
    return transferAll(size, POLLIN, deadline,
                       [&](size_t done) { return ::recv(fd_, data + done, size - done, MSG_DONTWAIT); });
}

bool LinkSocket::writeAll(const uint8_t* data, size_t size, Clock::time_point deadline)
{
    return transferAll(size, POLLOUT, deadline, [&](size_t done) {
        return ::send(fd_, data + done, size - done, MSG_DONTWAIT | MSG_NOSIGNAL);
    });
}

std::optional<uint32_t> LinkSocket::readWord(Clock::time_point deadline)
{
    uint8_t bytes[4];
    if (!readExact(bytes, 4, deadline))
        return std::nullopt;
    return platform::ReadLE32(bytes);
}

bool LinkSocket::writeWord(uint32_t value, Clock::time_point deadline)
{
    uint8_t bytes[4];
    platform::WriteLE32(bytes, value);
    return writeAll(bytes, 4, deadline);
}

uint16_t LinkSocket::localPort() const
{
    sockaddr_in sa{};
    socklen_t length = sizeof sa;
    if (::getsockname(fd_, reinterpret_cast<sockaddr*>(&sa), &length) != 0)
        return 0;
    return ntohs(sa.sin_port);
}

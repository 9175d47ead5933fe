#include "pavrixwm/LinkHandOff.h"

#include "platform/LittleEndian.h"

#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

std::optional<std::string> LinkHandOffPath(const std::optional<std::string>& runtimeFolder)
{
    if (!runtimeFolder || runtimeFolder->empty())
        return std::nullopt;
    return *runtimeFolder + "/pavrix-link.sock";
}

LinkSocket ConnectLinkHandOff(const std::string& path)
{
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    if (path.size() >= sizeof sa.sun_path)
        return {};
    std::memcpy(sa.sun_path, path.c_str(), path.size() + 1);
    LinkSocket socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!socket.valid() || ::connect(socket.fd(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0)
        return {};
    return socket;
}

std::optional<std::pair<uint16_t, LinkSocket>> ReceiveLinkConnection(LinkSocket& handOff)
{
    uint8_t port[2];
    iovec iov{port, sizeof port};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
    msghdr message{};
    message.msg_iov = &iov;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ssize_t n = ::recvmsg(handOff.fd(), &message, MSG_CMSG_CLOEXEC);
    cmsghdr* header = CMSG_FIRSTHDR(&message);
    int fd = -1;
    if (header && header->cmsg_level == SOL_SOCKET && header->cmsg_type == SCM_RIGHTS &&
        header->cmsg_len == CMSG_LEN(sizeof(int)))
        std::memcpy(&fd, CMSG_DATA(header), sizeof fd);
    LinkSocket connection(fd);
    if (n != 2 || !connection.valid() || (message.msg_flags & MSG_CTRUNC))
        return std::nullopt;
    return std::make_pair(platform::ReadLE16(port), std::move(connection));
}

bool SendLinkConnection(LinkSocket& handOff, uint16_t port, int fd)
{
    uint8_t bytes[2];
    platform::WriteLE16(bytes, port);
    iovec iov{bytes, sizeof bytes};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr message{};
    message.msg_iov = &iov;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    cmsghdr* header = CMSG_FIRSTHDR(&message);
    header->cmsg_level = SOL_SOCKET;
    header->cmsg_type = SCM_RIGHTS;
    header->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(header), &fd, sizeof fd);
    return ::sendmsg(handOff.fd(), &message, MSG_NOSIGNAL) == 2;
}

// pavrix-linkd: the small privileged listener of the device link. It binds the
// desktop's link ports (990 needs privilege), makes the hand-off socket in the
// user's runtime folder, then gives up root for that user for good; from then on
// it accepts what the handheld opens and passes each connection, unread, to the
// user's daemon (LinkHandOff). Connections that arrive while no daemon is there
// are closed: the handheld tries again.
//   pavrix-linkd --address A [--ports CONTROL,INFO] [--user NAME|UID] [--socket PATH]

#include "pavrixwm/LinkHandOff.h"
#include "pavrixwm/LinkSocket.h"

#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>

namespace {

volatile std::sig_atomic_t gStop = 0;
void Stop(int) { gStop = 1; }

struct Options {
    std::string address;
    uint16_t controlPort = 990, infoPort = 5679;
    std::optional<std::string> user;
    std::optional<std::string> socketPath;
};

bool Port(const std::string& text, uint16_t& port)
{
    if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    unsigned long value = std::stoul(text);
    port = static_cast<uint16_t>(value);
    return value > 0 && value < 65536;
}

std::optional<Options> Parse(int argc, char** argv)
{
    Options options;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string flag = argv[i], value = argv[i + 1];
        if (flag == "--address")
            options.address = value;
        else if (flag == "--ports") {
            auto comma = value.find(',');
            if (comma == std::string::npos || !Port(value.substr(0, comma), options.controlPort) ||
                !Port(value.substr(comma + 1), options.infoPort))
                return std::nullopt;
        } else if (flag == "--user")
            options.user = value;
        else if (flag == "--socket")
            options.socketPath = value;
        else
            return std::nullopt;
    }
    if (argc % 2 == 0 || options.address.empty())
        return std::nullopt;
    return options;
}

LinkSocket ListenUnix(const std::string& path)
{
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    if (path.size() >= sizeof sa.sun_path)
        return {};
    std::memcpy(sa.sun_path, path.c_str(), path.size() + 1);
    ::unlink(path.c_str());
    LinkSocket socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    mode_t old = ::umask(0177); // the socket is the user's alone
    bool ok = socket.valid() && ::bind(socket.fd(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 &&
              ::listen(socket.fd(), 4) == 0;
    ::umask(old);
    return ok ? std::move(socket) : LinkSocket();
}

// The daemon on the other end must be the user's (or, unprivileged, our own).
bool PeerIs(int fd, uid_t uid)
{
    ucred peer{};
    socklen_t length = sizeof peer;
    return ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) == 0 && peer.uid == uid;
}

} // namespace

int main(int argc, char** argv)
{
    auto options = Parse(argc, argv);
    if (!options) {
        std::cerr << "usage: pavrix-linkd --address A [--ports CONTROL,INFO] [--user NAME|UID] [--socket PATH]\n";
        return 2;
    }
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGTERM, Stop);
    std::signal(SIGINT, Stop);

    uid_t uid = ::getuid();
    gid_t gid = ::getgid();
    if (options->user) {
        const passwd* entry = ::getpwnam(options->user->c_str());
        if (!entry && options->user->find_first_not_of("0123456789") == std::string::npos)
            entry = ::getpwuid(static_cast<uid_t>(std::stoul(*options->user)));
        if (!entry) {
            std::cerr << "pavrix-linkd: no user " << *options->user << "\n";
            return 1;
        }
        uid = entry->pw_uid;
        gid = entry->pw_gid;
    }
    std::string path = options->socketPath.value_or("/run/user/" + std::to_string(uid) + "/pavrix-link.sock");

    LinkSocket control = LinkSocket::listen(options->address, options->controlPort);
    LinkSocket info = LinkSocket::listen(options->address, options->infoPort);
    LinkSocket handOff = ListenUnix(path);
    if (!control.valid() || !info.valid() || !handOff.valid()) {
        std::cerr << "pavrix-linkd: cannot listen on " << options->address << " or at " << path << "\n";
        return 1;
    }
    if (::geteuid() == 0 && uid != 0) {
        // Nothing below needs privilege: give it up before the first accept.
        if (::chown(path.c_str(), uid, gid) != 0 || ::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 ||
            ::setuid(uid) != 0 || ::setuid(0) == 0) {
            std::cerr << "pavrix-linkd: cannot become user " << uid << "\n";
            return 1;
        }
    }
    std::cerr << "pavrix-linkd: listening on " << options->address << " for user " << uid << std::endl;

    LinkSocket daemon;
    while (!gStop) {
        pollfd fds[4] = {{control.fd(), POLLIN, 0}, {info.fd(), POLLIN, 0}, {handOff.fd(), POLLIN, 0},
                         {daemon.fd(), POLLIN, 0}};
        if (::poll(fds, 4, 500) <= 0)
            continue;
        if (fds[2].revents & POLLIN) {
            LinkSocket client = handOff.accept(std::chrono::milliseconds(0));
            if (client.valid() && PeerIs(client.fd(), uid))
                daemon = std::move(client); // the newest daemon takes over
        }
        if (fds[3].revents & (POLLIN | POLLHUP | POLLERR))
            daemon.close(); // the daemon sends nothing: this is its end
        for (int i = 0; i < 2; ++i) {
            if (!(fds[i].revents & POLLIN))
                continue;
            LinkSocket accepted = (i == 0 ? control : info).accept(std::chrono::milliseconds(0));
            if (accepted.valid() && daemon.valid() &&
                !SendLinkConnection(daemon, i == 0 ? options->controlPort : options->infoPort, accepted.fd()))
                daemon.close();
        }
    }
    ::unlink(path.c_str());
    return 0;
}

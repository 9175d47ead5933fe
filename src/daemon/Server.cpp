#include "daemon/Server.h"

#include "daemon/AcceptQueue.h"
#include "daemon/Application.h"
#include "daemon/HandOffFiles.h"
#include "dav/Methods.h"
#include "http/Connection.h"
#include "log/LogClient.h"
#include "pavrixwm/LinkManager.h"
#include "device/WinceDataSource.h"
#include "platform/ByteBuffer.h"
#include "platform/HomeFolder.h"

#include <algorithm>
#include <cerrno>
#include <malloc.h>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

std::optional<std::vector<uint8_t>> gDevicePassword;
std::optional<std::string> gDeviceIPAddress;

namespace {

// Connections accepted and waiting for their turn; more wait in the kernel's queue.
// Each one's head limit runs from its accept, so every connection that waits here
// rather than in the kernel's queue runs out side by side with the others: as many
// as the descriptors allow, leaving half of them for the stores' own files.
size_t WaitingConnections()
{
    struct rlimit files {};
    if (::getrlimit(RLIMIT_NOFILE, &files) != 0 || files.rlim_cur == RLIM_INFINITY)
        return 4096;
    return std::clamp<size_t>(static_cast<size_t>(files.rlim_cur) / 2, 64, 4096);
}

// Free heap memory kept between connections for the next request to reuse: enough
// for the working memory of a 10,000-entry listing, which would otherwise be
// faulted in again on every such request. A large file buffer trims the heap
// before it is made, so this never adds to it.
constexpr size_t kHeapKept = size_t(48) << 20;

// Loads a hand-off dictionary; the file is deleted only after a successful read.
std::optional<platform::PlistObject> TakeHandOffFile(const std::string& path)
{
    auto dict = platform::PlistObject::loadDictionary(path);
    if (dict)
        std::remove(path.c_str());
    return dict;
}

void ReleaseIdleMemory(DataSource* store)
{
    if (store)
        store->releaseIdleMemory();
    platform::ReleaseSpareBuffer();
    ::malloc_trim(0);
}

} // namespace

Server::Server(int port, std::optional<std::string> dictionaryLocation, DataSourceProvider dataSources,
               ConnectionLimits limits)
    : listenPort(port), dictionaryName(std::move(dictionaryLocation)), dataSources(std::move(dataSources)),
      limits(limits)
{
    // On this platform the cache folder may not exist yet; the port file and the
    // mirror folder live in it.
    platform::CreateFolderWithParents(HandOffFolder());

    if (auto passwords = TakeHandOffFile(PasswordFilePath())) {
        // A file without a usable "Password" value leaves an empty password: the
        // launcher did hand one over, it just held nothing.
        gDevicePassword = passwords->getData(kPasswordKey).value_or(std::vector<uint8_t>{});
    } else {
        gDevicePassword.reset();
    }
    if (auto addresses = TakeHandOffFile(AddressFilePath())) {
        if (auto ip = addresses->getString(kAddressKey))
            gDeviceIPAddress = *ip;
    }
    // The handheld on a USB link is named and unlocked by what was handed over.
    std::optional<std::string> password;
    if (gDevicePassword)
        password = std::string(gDevicePassword->begin(), gDevicePassword->end());
    LinkManager::configureProcessWide(gDeviceIPAddress, password);

    std::error_code ec;
    std::filesystem::remove_all(MirrorDirectoryPath(), ec);
    std::filesystem::create_directory(MirrorDirectoryPath(), ec);
}

Server::~Server()
{
    // The accepting thread still refers to the queue, so the queue is left to it.
    static_cast<void>(arrivals.release());
}

Server& Server::Listen()
{
    serverSocket.sin_family = AF_INET;
    serverSocket.sin_addr.s_addr = htonl(INADDR_ANY);
    serverSocket.sin_port = htons(static_cast<uint16_t>(listenPort));

    server_fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (server_fd < 0)
        std::exit(-1);
    int yes = 1;
    if (::setsockopt(server_fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes) == -1)
        std::exit(-1);
    if (::bind(server_fd, reinterpret_cast<sockaddr*>(&serverSocket), sizeof serverSocket) < 0)
        std::exit(-1);
    socklen_t len = sizeof serverSocket;
    if (::getsockname(server_fd, reinterpret_cast<sockaddr*>(&serverSocket), &len) < 0)
        std::exit(-1);
    // Listening before the port is announced: a client that reads the port file
    // (the launcher, the desktop) must never find the port refusing connections.
    // A burst of clients is held by the kernel until the accepting thread takes
    // them, rather than refused and left to retry after seconds.
    if (::listen(server_fd, SOMAXCONN) < 0)
        std::exit(-1);

    int port = ntohs(serverSocket.sin_port);
    if (dictionaryName) {
        auto dict = platform::PlistObject::loadDictionary(*dictionaryName).value_or(platform::PlistObject::dictionary());
        dict.set(kPortKey, platform::PlistObject::integer(port));
        dict.set(kPIDKey, platform::PlistObject::integer(getpid()));
        dict.writeAtomically(*dictionaryName);
        if (gLogOn)
            LogWithDate("listening on %d", port);
    } else if (gLogOn) {
        LogWithDate("We don't have a dictionary");
        LogWithDate("listening on %d", port);
    }

    return *this;
}

void Server::Loop()
{
    Serve(0);
    for (;;)
        serveNext(std::chrono::seconds(1));
}

void Server::Serve(size_t connections)
{
    if (server_fd < 0)
        Listen();
    if (!arrivals)
        arrivals = std::make_unique<AcceptQueue>(server_fd, WaitingConnections());
    for (size_t served = 0; served < connections;)
        served += serveNext(std::chrono::seconds(1)) ? 1 : 0;
}

bool Server::serveNext(std::chrono::milliseconds wait)
{
    auto arrived = arrivals->next(wait);
    if (!arrived) {
        // Once the read cache has expired with nobody asking, what the last
        // requests held goes back to the system.
        if (!idle && std::chrono::steady_clock::now() - lastServed > WinceDataSource::kReadCacheLife) {
            ReleaseIdleMemory(lastStore.get());
            idle = true;
        }
        return false;
    }
    idle = false;
    AcceptQueue::Accepted accepted = *arrived;
    accept_fd = accepted.fd;
    if (gLogDebug)
        LogWithDate("got a connection");
    // One release scope per connection: the connection and all it made are
    // gone before the next accept.
    {
        try {
            lastStore = dataSources();
        } catch (const std::exception& e) {
            // A store that cannot be set up costs this client its answer,
            // not the daemon its life.
            if (gLogDebug)
                LogWithDate("connection failed: %s", e.what());
            ::close(accept_fd);
            return true;
        }
        ServeConnection(accept_fd, *lastStore, limits, accepted.at);
    }
    lastServed = std::chrono::steady_clock::now();
    // Past that, what a request left in the heap goes back at once.
    if (::mallinfo2().fordblks > kHeapKept)
        ::malloc_trim(0);
    return true;
}

void ServeConnection(int fd, DataSource& store, const ConnectionLimits& limits,
                     std::chrono::steady_clock::time_point acceptedAt)
{
    Connection(fd, limits, acceptedAt).Handler([&store](Request& request, ResponseWriter& response) {
        if (!response.answeredStatus())
            dav::Dispatch(request, response, store);
        store.requestAnswered(response.answeredStatus());
    });
}

#include "daemon/Server.h"

#include "daemon/AcceptQueue.h"
#include "daemon/Application.h"
#include "daemon/HandOffFiles.h"
#include "dav/Methods.h"
#include "http/Connection.h"
#include "log/LogClient.h"
#include "device/WinceDataSource.h"
#include "platform/ByteBuffer.h"
#include "platform/PlistObject.h"

#include <algorithm>
#include <cerrno>
#include <malloc.h>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

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
// Faulting in that much takes milliseconds.
constexpr auto kHeapCheckAfter = std::chrono::milliseconds(2);

} // namespace

Server::Server(int port, std::optional<std::string> dictionaryLocation, std::shared_ptr<WinceDataSource> store,
               const std::string& mirrorFolder, ConnectionLimits limits)
    : listenPort(port), dictionaryName(std::move(dictionaryLocation)), store(std::move(store)), limits(limits)
{
    std::error_code ec;
    std::filesystem::remove_all(mirrorFolder, ec);
    std::filesystem::create_directories(mirrorFolder, ec);
}

// Until the first hang-up every connection shares the device store (and its read
// cache); after one, each gets a fresh base store, which answers without the device.
std::shared_ptr<DataSource> Server::connectionStore() const
{
    if (Application::hasReceivedHup()) {
        auto empty = std::make_shared<DataSource>();
        empty->setStandardAnswers(store->standardAnswers());
        return empty;
    }
    return store;
}

void Server::releaseIdleMemory()
{
    store->releaseIdleMemory();
    platform::ReleaseSpareBuffer();
    ::malloc_trim(0);
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
            releaseIdleMemory();
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
        std::shared_ptr<DataSource> store;
        try {
            store = connectionStore();
        } catch (const std::exception& e) {
            // A store that cannot be set up costs this client its answer,
            // not the daemon its life.
            if (gLogDebug)
                LogWithDate("connection failed: %s", e.what());
            ::close(accept_fd);
            return true;
        }
        ServeConnection(accept_fd, *store, limits, accepted.at);
    }
    lastServed = std::chrono::steady_clock::now();
    // Past that, what a request left in the heap goes back at once. Counting the
    // free heap walks every free block, so a request too quick to have made tens
    // of MiB is not asked about.
    if (lastServed - accepted.at > kHeapCheckAfter && ::mallinfo2().fordblks > kHeapKept)
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

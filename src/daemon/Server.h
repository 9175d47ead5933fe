#pragma once

#include "http/ConnectionLimits.h"
#include "platform/PlistObject.h"

#include <chrono>
#include <functional>
#include <memory>
#include <netinet/in.h>
#include <optional>
#include <string>
#include <vector>

// Handed over by the launcher through the password and address files; held for
// the life of the process and not used further.
extern std::optional<std::vector<uint8_t>> gDevicePassword;
extern std::optional<std::string> gDeviceIPAddress;

class DataSource;

// Gives each accepted connection the store it works on.
using DataSourceProvider = std::function<std::shared_ptr<DataSource>()>;

// Serves one accepted client with `store`: the connection reads its request, the
// method functions answer it, and the store learns how it was answered. Closes `fd`.
void ServeConnection(int fd, DataSource& store, const ConnectionLimits& limits,
                     std::chrono::steady_clock::time_point acceptedAt);

// The listener: takes over the hand-off files, re-creates the mirror folder,
// listens on a port the system picks and serves one connection at a time.
class AcceptQueue;

class Server {
public:
    // Listens on `port` and writes the port file at `dictionaryLocation` (an empty
    // optional: no port file). Every connection asks the provider for its store
    // when it is accepted and is served under `limits`.
    Server(int port, std::optional<std::string> dictionaryLocation, DataSourceProvider dataSources,
           ConnectionLimits limits = {});
    // The thread that accepts while a connection is served lives as long as the
    // process, so a server that served leaves its queue and socket to it.
    ~Server();

    Server& Listen();
    [[noreturn]] void Loop();
    // Listens if not yet listening, then serves the next `connections` clients in
    // the order they arrive and returns.
    void Serve(size_t connections);

    int boundPort() const { return ntohs(serverSocket.sin_port); }

private:
    // Waits for the next client and serves it; false when nobody came within the wait.
    bool serveNext(std::chrono::milliseconds wait);

    int accept_fd = -1;
    int server_fd = -1;
    int listenPort = 0;
    std::optional<std::string> dictionaryName;
    DataSourceProvider dataSources;
    // The store the last connection was served from: told when the daemon idles.
    std::shared_ptr<DataSource> lastStore;
    sockaddr_in serverSocket {};
    ConnectionLimits limits;
    std::unique_ptr<AcceptQueue> arrivals;
    std::chrono::steady_clock::time_point lastServed = std::chrono::steady_clock::now();
    bool idle = false;
};

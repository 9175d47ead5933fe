#pragma once

#include "http/ConnectionLimits.h"

#include <chrono>
#include <memory>
#include <netinet/in.h>
#include <optional>
#include <string>

class DataSource;
class WinceDataSource;

// Serves one accepted client with `store`: the connection reads its request, the
// method functions answer it, and the store learns how it was answered. Closes `fd`.
void ServeConnection(int fd, DataSource& store, const ConnectionLimits& limits,
                     std::chrono::steady_clock::time_point acceptedAt);

// The listener: re-creates the mirror folder, listens on a port the system picks
// and serves one connection at a time.
class AcceptQueue;

class Server {
public:
    // Listens on `port` and writes the port file at `dictionaryLocation` (an empty
    // optional: no port file); empties `mirrorFolder`, the store's mirror. Every
    // connection is served under `limits`, on `store` until a hang-up, after
    // which each gets a fresh empty DataSource, which answers without the device.
    Server(int port, std::optional<std::string> dictionaryLocation, std::shared_ptr<WinceDataSource> store,
           const std::string& mirrorFolder, ConnectionLimits limits = {});
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
    // The store a connection accepted now works on.
    std::shared_ptr<DataSource> connectionStore() const;
    // What the last requests held goes back to the system.
    void releaseIdleMemory();

    int accept_fd = -1;
    int server_fd = -1;
    int listenPort = 0;
    std::optional<std::string> dictionaryName;
    std::shared_ptr<WinceDataSource> store;
    sockaddr_in serverSocket {};
    ConnectionLimits limits;
    std::unique_ptr<AcceptQueue> arrivals;
    std::chrono::steady_clock::time_point lastServed = std::chrono::steady_clock::now();
    bool idle = false;
};

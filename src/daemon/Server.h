#pragma once

#include "platform/PlistObject.h"

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

// The listener: takes over the hand-off files, re-creates the mirror folder,
// listens on a port the system picks and serves one connection at a time.
class Server {
public:
    // initWithPort:dictionaryLocation: (an empty optional: no port file); every
    // connection asks the provider for its store when it is accepted.
    Server(int port, std::optional<std::string> dictionaryLocation, DataSourceProvider dataSources);

    Server& Listen();
    [[noreturn]] void Loop();

    int boundPort() const { return ntohs(serverSocket.sin_port); }

private:
    int accept_fd = -1;
    int server_fd = -1;
    int listenPort = 0;
    std::optional<std::string> dictionaryName;
    DataSourceProvider dataSources;
    sockaddr_in serverSocket {};
};

#pragma once

// Serves connections inside the test process: a loopback listener and one thread
// that accepts and runs a Connection for each client, one at a time, as the
// daemon does. Lets a test pick the store (or a Connection subclass).

#include "http/Connection.h"
#include "support/TestSupport.h"

#include <arpa/inet.h>
#include <atomic>
#include <functional>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

class InProcessServer {
public:
    using Factory = std::function<std::unique_ptr<Connection>(int fd)>;

    explicit InProcessServer(std::shared_ptr<DataSource> store)
        : InProcessServer([store](int fd) { return std::make_unique<Connection>(fd, store); })
    {
    }

    explicit InProcessServer(Factory factory) : factory_(std::move(factory))
    {
        listenFd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (listenFd_ < 0 || ::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0 || ::listen(listenFd_, 4) != 0)
            throw std::runtime_error("cannot listen on loopback");
        port_ = ntohs(addr.sin_port);
        thread_ = std::thread([this] { serve(); });
    }

    ~InProcessServer()
    {
        stop_ = true;
        thread_.join();
        ::close(listenFd_);
    }

    int port() const { return port_; }
    std::string request(const std::string& raw) const { return testsupport::Exchange(port_, raw); }

private:
    void serve()
    {
        while (!stop_) {
            pollfd pfd{listenFd_, POLLIN, 0};
            if (::poll(&pfd, 1, 50) <= 0)
                continue;
            int fd = ::accept(listenFd_, nullptr, nullptr);
            if (fd < 0)
                continue;
            factory_(fd)->Handler();
        }
    }

    Factory factory_;
    int listenFd_ = -1;
    int port_ = -1;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>

// Connections are accepted as they arrive, on a thread of their own, and handed
// out one at a time in arrival order. A client's time to send its request head
// runs from its own accept, so clients that connect and stay silent run out side
// by side while another is served, instead of one after another.
class AcceptQueue {
public:
    struct Accepted {
        int fd;
        std::chrono::steady_clock::time_point at;
    };

    // Starts accepting on the listening socket; at most `capacity` connections
    // wait here, the rest in the kernel's queue. The thread lives as long as the
    // process.
    AcceptQueue(int listenFd, size_t capacity);
    AcceptQueue(const AcceptQueue&) = delete;
    AcceptQueue& operator=(const AcceptQueue&) = delete;

    // The oldest waiting connection; blocks until there is one, or none when `wait`
    // passes first.
    std::optional<Accepted> next(std::chrono::milliseconds wait);

private:
    void run();

    int listenFd_;
    size_t capacity_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Accepted> waiting_;
};

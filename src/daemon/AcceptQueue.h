#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>

// Hands out connections one at a time in arrival order. While one is served for
// longer than a short grace, a thread of its own accepts the ones that arrive, so
// that each one's time to send its request head runs from (about) its own accept:
// clients that connect and stay silent run out side by side, instead of one after
// another. Otherwise the caller accepts for itself, with no thread in between: a
// quick request wakes nobody else, and costs no hand-over between threads.
class AcceptQueue {
public:
    struct Accepted {
        int fd;
        std::chrono::steady_clock::time_point at;
    };

    // Takes over the listening socket (made non-blocking, so that the two
    // accepting sides never wait on a connection the other took). At most
    // `capacity` connections wait here, the rest in the kernel's queue. The thread
    // lives as long as the process.
    AcceptQueue(int listenFd, size_t capacity);
    AcceptQueue(const AcceptQueue&) = delete;
    AcceptQueue& operator=(const AcceptQueue&) = delete;

    // The oldest waiting connection, or the next to arrive within `wait`; none when
    // nobody came. The caller is taken to be serving the connection it gets until
    // it asks again.
    std::optional<Accepted> next(std::chrono::milliseconds wait);

private:
    void run();
    std::optional<Accepted> takeWaiting(); // with mutex_ held

    int listenFd_;
    int wakeFd_; // written when a connection is queued, for a caller waiting in poll
    size_t capacity_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Accepted> waiting_;
    bool serving_ = false;
    std::chrono::steady_clock::time_point servingSince_; // when the caller took its connection
    bool threadIdle_ = false; // the thread waits for serving to begin, and must be woken
};

#include "daemon/AcceptQueue.h"

#include <cerrno>
#include <csignal>
#include <pthread.h>
#include <sys/socket.h>
#include <thread>

AcceptQueue::AcceptQueue(int listenFd, size_t capacity) : listenFd_(listenFd), capacity_(capacity)
{
    // The accepting thread never takes a hang-up itself: the handler keeps running
    // on the thread that serves.
    sigset_t hup, previous;
    sigemptyset(&hup);
    sigaddset(&hup, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &hup, &previous);
    std::thread([this] { run(); }).detach();
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

std::optional<AcceptQueue::Accepted> AcceptQueue::next(std::chrono::milliseconds wait)
{
    std::unique_lock lock(mutex_);
    if (!changed_.wait_for(lock, wait, [&] { return !waiting_.empty(); }))
        return std::nullopt;
    Accepted first = waiting_.front();
    waiting_.pop_front();
    changed_.notify_all();
    return first;
}

void AcceptQueue::run()
{
    for (;;) {
        {
            std::unique_lock lock(mutex_);
            changed_.wait(lock, [&] { return waiting_.size() < capacity_; });
        }
        int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            // Out of descriptors: wait for the serving side to close some rather
            // than spin; anything else was one connection that died in the queue.
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            continue;
        }
        std::lock_guard lock(mutex_);
        waiting_.push_back({fd, std::chrono::steady_clock::now()});
        changed_.notify_all();
    }
}

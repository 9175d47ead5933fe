#include "daemon/AcceptQueue.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

// How often the accepting thread looks again whether a connection is still served.
constexpr int kServingCheckMs = 100;
// How long a connection is served before the thread starts accepting beside it:
// most requests are answered well within it, and a connection that arrives
// meanwhile only starts its head limit that much later.
constexpr auto kServingGrace = std::chrono::milliseconds(20);

std::optional<AcceptQueue::Accepted> AcceptOne(int listenFd)
{
    int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd >= 0)
        return AcceptQueue::Accepted{fd, std::chrono::steady_clock::now()};
    // Out of descriptors: wait for the serving side to close some rather than spin;
    // anything else was a connection the other side took, or one that died queued.
    if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    return std::nullopt;
}

} // namespace

AcceptQueue::AcceptQueue(int listenFd, size_t capacity)
    : listenFd_(listenFd), wakeFd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)), capacity_(capacity)
{
    ::fcntl(listenFd_, F_SETFL, ::fcntl(listenFd_, F_GETFL) | O_NONBLOCK);
    // The accepting thread never takes a hang-up itself: the handler keeps running
    // on the thread that serves.
    sigset_t hup, previous;
    sigemptyset(&hup);
    sigaddset(&hup, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &hup, &previous);
    std::thread([this] { run(); }).detach();
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

std::optional<AcceptQueue::Accepted> AcceptQueue::takeWaiting()
{
    if (waiting_.empty())
        return std::nullopt;
    // Only a thread stopped by a full queue needs telling that there is room.
    if (waiting_.size() >= capacity_)
        changed_.notify_all();
    Accepted first = waiting_.front();
    waiting_.pop_front();
    return first;
}

std::optional<AcceptQueue::Accepted> AcceptQueue::next(std::chrono::milliseconds wait)
{
    const auto until = std::chrono::steady_clock::now() + wait;
    for (;;) {
        {
            std::lock_guard lock(mutex_);
            if (auto first = takeWaiting()) {
                servingSince_ = std::chrono::steady_clock::now();
                return first; // still serving: the thread keeps accepting
            }
            serving_ = false;
        }
        auto left = std::chrono::ceil<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return std::nullopt;
        struct pollfd fds[2] = {{listenFd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
        int ready = ::poll(fds, wakeFd_ >= 0 ? 2 : 1, static_cast<int>(left.count()));
        if (ready <= 0)
            continue; // timed out or interrupted: look at the queue and the time again
        if (fds[1].revents & POLLIN) {
            uint64_t count;
            [[maybe_unused]] ssize_t n = ::read(wakeFd_, &count, sizeof count);
        }
        if (fds[0].revents & POLLIN) {
            if (auto accepted = AcceptOne(listenFd_)) {
                std::lock_guard lock(mutex_);
                serving_ = true;
                servingSince_ = accepted->at;
                // A thread that still waits on its own timer needs no call to wake it.
                if (threadIdle_)
                    changed_.notify_all();
                // One the thread queued meanwhile arrived first.
                waiting_.push_back(*accepted);
                return takeWaiting();
            }
        }
    }
}

void AcceptQueue::run()
{
    std::unique_lock lock(mutex_);
    for (;;) {
        if (!serving_) {
            threadIdle_ = true;
            changed_.wait(lock, [&] { return serving_; });
            threadIdle_ = false;
            continue;
        }
        auto busyFrom = servingSince_ + kServingGrace;
        if (std::chrono::steady_clock::now() < busyFrom) {
            changed_.wait_until(lock, busyFrom);
            continue;
        }
        if (waiting_.size() >= capacity_) {
            changed_.wait(lock, [&] { return !serving_ || waiting_.size() < capacity_; });
            continue;
        }
        lock.unlock();
        struct pollfd fd {listenFd_, POLLIN, 0};
        bool arrived = ::poll(&fd, 1, kServingCheckMs) > 0;
        lock.lock();
        // The serving side may have come back for more meanwhile: it takes this
        // one itself, with no hand-over.
        if (!arrived || !serving_)
            continue;
        lock.unlock();
        auto accepted = AcceptOne(listenFd_);
        lock.lock();
        if (accepted) {
            waiting_.push_back(*accepted);
            uint64_t one = 1;
            [[maybe_unused]] ssize_t n = ::write(wakeFd_, &one, sizeof one);
        }
    }
}

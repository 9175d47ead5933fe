#pragma once

// Reading what an inotify descriptor has queued: the folder-name index and the
// settings file each keep watches of their own.

#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstddef>

// Calls `each` with every notice queued on `fd` (made non-blocking) until the
// queue is empty. False when a read failed for another reason than an empty
// queue: changes may have gone unseen.
template <class Each>
bool ForEachNotice(int fd, Each&& each)
{
    alignas(struct inotify_event) char buffer[8192];
    for (;;) {
        ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return true;
        if (got <= 0)
            return false;
        for (ssize_t at = 0; at < got;) {
            const auto* notice = reinterpret_cast<const struct inotify_event*>(buffer + at);
            at += static_cast<ssize_t>(sizeof(struct inotify_event) + notice->len);
            each(*notice);
        }
        // Room was left for one more notice of the longest name: the queue is empty,
        // and asking again would only find so.
        if (static_cast<size_t>(got) + sizeof(struct inotify_event) + NAME_MAX + 1 <= sizeof buffer)
            return true;
    }
}

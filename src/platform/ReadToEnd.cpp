#include "platform/ReadToEnd.h"

#include <unistd.h>

#include <cerrno>

namespace platform {

bool ReadToEnd(int fd, const std::function<void(const uint8_t* bytes, size_t count)>& take)
{
    uint8_t block[65536];
    for (;;) {
        ssize_t got = ::read(fd, block, sizeof block);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return false;
        if (got == 0)
            return true;
        take(block, static_cast<size_t>(got));
    }
}

} // namespace platform

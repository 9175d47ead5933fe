#include "platform/WriteAll.h"

#include <cerrno>
#include <unistd.h>

namespace platform {

bool WriteAll(int fd, const uint8_t* bytes, size_t count)
{
    while (count > 0) {
        ssize_t written = ::write(fd, bytes, count);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        bytes += written;
        count -= static_cast<size_t>(written);
    }
    return true;
}

} // namespace platform

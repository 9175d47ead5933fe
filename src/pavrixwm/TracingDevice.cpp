#include "pavrixwm/TracingDevice.h"

#include <fcntl.h>
#include <unistd.h>

TracingDevice::TracingDevice(std::shared_ptr<DeviceBackend> target, std::optional<std::string> tracePath)
    : DeviceBackendWrapper(std::move(target)), tracePath_(std::move(tracePath))
{
}

void TracingDevice::write(const char* name, std::initializer_list<std::string_view> paths) const
{
    if (!tracePath_)
        return;
    std::string line = name;
    for (const auto& path : paths)
        line.append("\t").append(path);
    line += "\n";
    // Opened per line with O_APPEND so that a reader (or another process tracing
    // into the same file) always sees whole lines, even if the file was replaced.
    int fd = ::open(tracePath_->c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    const char* data = line.data();
    size_t left = line.size();
    while (left > 0) {
        ssize_t n = ::write(fd, data, left);
        if (n <= 0)
            break;
        data += n;
        left -= static_cast<size_t>(n);
    }
    ::close(fd);
}

#include "pavrixwm/HostInfo.h"

#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <type_traits>

namespace {

// A host file time on the host clock, cut to what the device keeps of it.
std::chrono::system_clock::time_point TimeToDevicePrecision(int64_t seconds, uint32_t nanoseconds)
{
    // FILETIME counts 100 ns intervals; finer host digits would make a time the
    // device reports differ from the same time read back.
    static_assert(std::is_same_v<std::chrono::system_clock::duration, std::chrono::nanoseconds>);
    int64_t count;
    // A find result holds its times on the host clock, which ends in 1677 and 2262;
    // a host file dated beyond (ext4 keeps dates up to 2446) gets no time rather
    // than one wrapped round into another century.
    if (nanoseconds > 999999999 || __builtin_mul_overflow(seconds, int64_t{1000000000}, &count) ||
        __builtin_add_overflow(count, int64_t{nanoseconds - nanoseconds % 100}, &count))
        return {};
    return std::chrono::system_clock::time_point(std::chrono::nanoseconds(count));
}

} // namespace

bool HostInfo::writable() const { return (mode & S_IWUSR) != 0; }

namespace {

HostInfo FromStatx(const struct statx& sx)
{
    HostInfo info;
    info.isDirectory = S_ISDIR(sx.stx_mode);
    info.isFile = S_ISREG(sx.stx_mode);
    info.size = info.isDirectory ? 0 : sx.stx_size;
    info.mode = sx.stx_mode;
    info.device = makedev(sx.stx_dev_major, sx.stx_dev_minor);
    info.inode = sx.stx_ino;
    info.write = TimeToDevicePrecision(sx.stx_mtime.tv_sec, sx.stx_mtime.tv_nsec);
    info.access = TimeToDevicePrecision(sx.stx_atime.tv_sec, sx.stx_atime.tv_nsec);
    info.creation = (sx.stx_mask & STATX_BTIME) ? TimeToDevicePrecision(sx.stx_btime.tv_sec, sx.stx_btime.tv_nsec)
                                                : info.write;
    return info;
}

} // namespace

std::optional<HostInfo> Inspect(const std::string& path, int at)
{
    struct statx sx {};
    int flags = AT_STATX_SYNC_AS_STAT | (at == AT_FDCWD ? 0 : AT_SYMLINK_NOFOLLOW);
    if (::statx(at, path.c_str(), flags, STATX_BASIC_STATS | STATX_BTIME, &sx) != 0)
        return std::nullopt;
    return FromStatx(sx);
}

std::optional<HostInfo> InspectOpen(int fd)
{
    struct statx sx {};
    if (::statx(fd, "", AT_EMPTY_PATH | AT_STATX_SYNC_AS_STAT, STATX_BASIC_STATS | STATX_BTIME, &sx) != 0)
        return std::nullopt;
    return FromStatx(sx);
}

std::optional<HostInfo> InspectEntry(const std::string& path, bool& isLink)
{
    struct statx sx {};
    isLink = false;
    if (::statx(AT_FDCWD, path.c_str(), AT_STATX_SYNC_AS_STAT | AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS | STATX_BTIME,
                &sx) != 0)
        return std::nullopt;
    isLink = S_ISLNK(sx.stx_mode);
    return FromStatx(sx);
}

std::optional<std::string> RealPath(const std::string& path)
{
    char* real = ::realpath(path.c_str(), nullptr);
    if (!real)
        return std::nullopt;
    std::string out(real);
    std::free(real);
    return out;
}

bool IsInsideFolder(const std::string& folder, const std::string& path)
{
    return path == folder ||
           (path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 && path[folder.size()] == '/');
}

// A probe on a fresh descriptor tells without waiting.
bool HeldElsewhere(const std::string& path)
{
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return false;
    bool held = HeldElsewhere(fd);
    ::close(fd);
    return held;
}

bool HeldElsewhere(int freshDescriptor)
{
    // A shared lock is refused only by an exclusive one: another program that
    // merely reads the file under a shared lock does not hold it.
    return ::flock(freshDescriptor, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
}

DWORD ErrnoToWin32(int error)
{
    switch (error) {
    case ENOENT:
        return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
        return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR:
    case EROFS:
    case ELOOP:
        return ERROR_ACCESS_DENIED;
    case EEXIST:
        return ERROR_ALREADY_EXISTS;
    case ENOTEMPTY:
        return ERROR_DIR_NOT_EMPTY;
    case ENOSPC:
    case EFBIG:
    case EDQUOT:
        return ERROR_DISK_FULL;
    case ENAMETOOLONG:
        return ERROR_INVALID_NAME;
    case EBUSY:
    case ETXTBSY:
        return ERROR_SHARING_VIOLATION;
    case EINVAL:
        return ERROR_INVALID_PARAMETER;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    default:
        return ERROR_GEN_FAILURE;
    }
}

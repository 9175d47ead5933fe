#include "pavrixwm/DeviceFileHandles.h"

#include "pavrixwm/DeviceFileTime.h"
#include "pavrixwm/DeviceNames.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace {

// A device time as the host's file times take it; none leaves that time as it is.
struct timespec ToHostTime(const FILETIME* time)
{
    if (!time)
        return {0, UTIME_OMIT};
    int64_t sinceEpoch = static_cast<int64_t>(FileTimeTicks(*time)) - kFileTimeTicksAtUnixEpoch;
    int64_t seconds = sinceEpoch / 10000000, rest = sinceEpoch % 10000000;
    if (rest < 0) {
        rest += 10000000;
        --seconds;
    }
    return {static_cast<time_t>(seconds), static_cast<long>(rest * 100)};
}

// The file `handle` names when the session opened it for `access`; else none,
// with the reason in `refusal`.
OpenFile* OpenedFor(OpenFileTable::Locked& files, SessionId session, HANDLE handle, DWORD access, DWORD& refusal)
{
    OpenFile* file = files.find(session, handle);
    refusal = !file ? ERROR_INVALID_HANDLE : !(file->access & access) ? ERROR_ACCESS_DENIED : 0;
    return refusal ? nullptr : file;
}

} // namespace

DeviceFileHandles::DeviceFileHandles(const DeviceFileTree& tree, std::shared_ptr<OpenFileTable> table)
    : tree_(tree), table_(std::move(table)), session_(table_->newSession())
{
}

DeviceFileHandles::~DeviceFileHandles() { table_->closeAll(session_); }

DWORD DeviceFileHandles::create(const std::string& path, DWORD access, DWORD sharing, DWORD disposition, HANDLE& handle)
{
    if (disposition < CREATE_NEW || disposition > TRUNCATE_EXISTING)
        return ERROR_INVALID_PARAMETER;
    DeviceFileTree::Resolved r;
    if (DWORD error = tree_.resolve(path, r))
        return error;
    return open(r, access, sharing, disposition, handle);
}

DWORD DeviceFileHandles::open(const DeviceFileTree::Resolved& r, DWORD access, DWORD sharing, DWORD disposition,
                              HANDLE& handle)
{
    if (r.isRoot || (r.exists && r.info.isDirectory))
        return ERROR_ACCESS_DENIED;
    bool truncate = disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING;
    bool mustExist = disposition == OPEN_EXISTING || disposition == TRUNCATE_EXISTING;
    auto files = table_->lock();
    int fd = -1;
    HostInfo info;
    if (r.exists) {
        if (disposition == CREATE_NEW)
            return ERROR_FILE_EXISTS;
        DWORD effectiveAccess = access | (truncate ? GENERIC_WRITE : 0);
        if ((effectiveAccess & GENERIC_WRITE) && !r.info.writable())
            return ERROR_ACCESS_DENIED;
        if (files.conflicts(r.info, effectiveAccess, sharing))
            return ERROR_SHARING_VIOLATION;
        int flags = O_CLOEXEC;
        if (effectiveAccess & GENERIC_WRITE)
            flags |= (access & GENERIC_READ) ? O_RDWR : O_WRONLY;
        else
            flags |= O_RDONLY;
        // The descriptor itself asks whether another program holds the file, so it
        // is opened without truncating: a held file is left as it was.
        fd = ::open(r.target.c_str(), flags);
        if (fd < 0)
            return ErrnoToWin32(errno);
        if (HeldElsewhere(fd)) {
            ::close(fd);
            return ERROR_SHARING_VIOLATION;
        }
        if (truncate && ::ftruncate(fd, 0) != 0) {
            DWORD error = ErrnoToWin32(errno);
            ::close(fd);
            return error;
        }
        info = r.info;
    } else {
        // A name that leads out of fs/ is missing to a reader and refused to a writer.
        if (r.blocked)
            return mustExist ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED;
        if (mustExist)
            return ERROR_FILE_NOT_FOUND;
        if (!IsValidDeviceName(r.givenName))
            return ERROR_INVALID_NAME;
        int flags = O_CLOEXEC | O_CREAT | O_EXCL | O_NOFOLLOW | ((access & GENERIC_READ) ? O_RDWR : O_WRONLY);
        fd = ::open(r.newPath().c_str(), flags, 0644);
        if (fd < 0)
            return errno == EEXIST ? ERROR_FILE_EXISTS : ErrnoToWin32(errno);
        // The file just made, whatever its name may meanwhile lead to.
        if (auto made = InspectOpen(fd))
            info = *made;
    }
    handle = files.add(OpenFile{session_, fd, access, sharing, info.device, info.inode});
    return 0;
}

// One loop for both directions, so that reads and writes stop and fail alike.
template <class Step>
DWORD DeviceFileHandles::transfer(HANDLE handle, DWORD access, bool hasBuffer, DWORD count, DWORD& moved, Step step)
{
    moved = 0;
    auto files = table_->lock();
    DWORD refusal = 0;
    OpenFile* file = OpenedFor(files, session_, handle, access, refusal);
    if (!file)
        return refusal;
    if (count > 0 && !hasBuffer)
        return ERROR_INVALID_PARAMETER;
    while (moved < count) {
        ssize_t n = step(file->fd, moved, count - moved);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return ErrnoToWin32(errno);
        }
        if (n == 0)
            break;
        moved += static_cast<DWORD>(n);
    }
    return 0;
}

DWORD DeviceFileHandles::read(HANDLE handle, uint8_t* buffer, DWORD count, DWORD& moved)
{
    return transfer(handle, GENERIC_READ, buffer != nullptr, count, moved,
                    [&](int fd, DWORD done, DWORD left) { return ::read(fd, buffer + done, left); });
}

DWORD DeviceFileHandles::write(HANDLE handle, const uint8_t* buffer, DWORD count, DWORD& moved)
{
    return transfer(handle, GENERIC_WRITE, buffer != nullptr, count, moved,
                    [&](int fd, DWORD done, DWORD left) { return ::write(fd, buffer + done, left); });
}

DWORD DeviceFileHandles::seek(HANDLE handle, int64_t distance, DWORD method, int64_t& position)
{
    auto files = table_->lock();
    OpenFile* file = files.find(session_, handle);
    if (!file)
        return ERROR_INVALID_HANDLE;
    int whence = SEEK_SET;
    switch (method) {
    case FILE_BEGIN:
        if (distance < 0)
            return ERROR_NEGATIVE_SEEK;
        break;
    case FILE_CURRENT:
        whence = SEEK_CUR;
        break;
    case FILE_END:
        whence = SEEK_END;
        break;
    default:
        return ERROR_INVALID_PARAMETER;
    }
    // One call from wherever it counts: a position before the start is refused by
    // the host and leaves the position where it was.
    off_t reached = ::lseek(file->fd, static_cast<off_t>(distance), whence);
    if (reached < 0)
        return errno == EINVAL && distance < 0 ? ERROR_NEGATIVE_SEEK : ErrnoToWin32(errno);
    position = reached;
    return 0;
}

DWORD DeviceFileHandles::close(HANDLE handle)
{
    auto files = table_->lock();
    if (!files.find(session_, handle))
        return ERROR_INVALID_HANDLE;
    files.close(handle);
    return 0;
}

DWORD DeviceFileHandles::setTimes(HANDLE handle, const FILETIME* /*creation*/, const FILETIME* access,
                                  const FILETIME* write)
{
    auto files = table_->lock();
    DWORD refusal = 0;
    OpenFile* file = OpenedFor(files, session_, handle, GENERIC_WRITE, refusal);
    if (!file)
        return refusal;
    const struct timespec times[2] = {ToHostTime(access), ToHostTime(write)};
    return ::futimens(file->fd, times) == 0 ? 0 : ErrnoToWin32(errno);
}

DWORD DeviceFileHandles::deleteFile(const std::string& path)
{
    auto files = table_->lock();
    return tree_.deleteFile(path, [&](const HostInfo& info) { return files.isOpen(info); });
}

DWORD DeviceFileHandles::move(const std::string& from, const std::string& to)
{
    auto files = table_->lock();
    return tree_.move(from, to, [&](const HostInfo& info) { return files.isOpen(info); });
}

DWORD DeviceFileHandles::copy(const std::string& from, const std::string& to, bool failIfExists)
{
    DeviceFileTree::Resolved source, target;
    HANDLE in = INVALID_HANDLE_VALUE, out = INVALID_HANDLE_VALUE;
    if (DWORD error = tree_.resolve(from, source))
        return error;
    if (source.isRoot)
        return ERROR_ACCESS_DENIED;
    if (DWORD error = open(source, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, in))
        return error;
    DWORD error = tree_.resolve(to, target);
    if (!error)
        error = open(target, GENERIC_WRITE, 0, failIfExists ? CREATE_NEW : CREATE_ALWAYS, out);
    if (error) {
        close(in);
        return error;
    }
    uint8_t block[65536];
    DWORD got = 0, put = 0;
    while (!(error = read(in, block, sizeof block, got)) && got > 0)
        if ((error = write(out, block, got, put)))
            break;
    close(in);
    close(out);
    // A half-made copy would read as a whole one.
    if (error)
        deleteFile(to);
    return error;
}

std::optional<std::vector<uint8_t>> DeviceFileHandles::readWhole(const std::string& path, DWORD& error)
{
    DeviceFileTree::Resolved r;
    HANDLE handle = INVALID_HANDLE_VALUE;
    if ((error = tree_.resolve(path, r)))
        return std::nullopt;
    // The root is no file to read, whatever opening it would answer.
    if ((error = r.isRoot ? ERROR_FILE_NOT_FOUND : open(r, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, handle)))
        return std::nullopt;
    std::vector<uint8_t> contents;
    uint8_t chunk[65536];
    DWORD got = 0;
    while (!(error = read(handle, chunk, sizeof chunk, got)) && got > 0)
        contents.insert(contents.end(), chunk, chunk + got);
    close(handle);
    if (error)
        return std::nullopt;
    return contents;
}

DWORD DeviceFileHandles::writeWhole(const std::string& path, const std::vector<uint8_t>& data)
{
    DeviceFileTree::Resolved r;
    HANDLE handle = INVALID_HANDLE_VALUE;
    if (DWORD error = tree_.resolve(path, r))
        return error;
    if (DWORD error = open(r, GENERIC_WRITE, 0, CREATE_ALWAYS, handle))
        return error;
    // The library's blocks are far below 4 GiB, the most one write can take.
    DWORD written = 0;
    DWORD error = write(handle, data.data(), static_cast<DWORD>(data.size()), written);
    close(handle);
    return error;
}

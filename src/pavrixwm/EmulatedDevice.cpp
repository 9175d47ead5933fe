#include "pavrixwm/EmulatedDevice.h"

#include "pavrixwm/DeviceNames.h"
#include "pavrixwm/EmulatedDeviceLibrary.h"
#include "pavrixwm/EmulatedRegistry.h"
#include "platform/CalendarDate.h"
#include "platform/PlistObject.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <set>
#include <thread>

using platform::PlistObject;

namespace {

constexpr HANDLE kFirstHandle = 0x100;

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

// Device paths separate names by backslashes (a slash is accepted as Win32 does);
// empty names and "." are dropped, so "\a\\b\" names the same file as "\a\b".
std::vector<std::string> SplitDevicePath(const std::string& path)
{
    std::vector<std::string> parts;
    std::string current;
    auto flush = [&] {
        if (!current.empty() && current != ".")
            parts.push_back(current);
        current.clear();
    };
    for (char c : path) {
        if (c == '\\' || c == '/')
            flush();
        else
            current.push_back(c);
    }
    flush();
    return parts;
}

bool IsInside(const std::string& root, const std::string& path)
{
    return path == root || (path.size() > root.size() && path.compare(0, root.size(), root) == 0 && path[root.size()] == '/');
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

// The canonical path of an entry of a canonical folder. Only a symbolic link can
// lead elsewhere, so only a link (or an entry of unknown type) costs a realpath.
std::optional<std::string> CanonicalEntry(const std::string& folder, const std::string& name, unsigned char type)
{
    std::string path = folder + "/" + name;
    if (type == DT_UNKNOWN) {
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0)
            return std::nullopt;
        type = S_ISLNK(st.st_mode) ? DT_LNK : DT_REG;
    }
    return type == DT_LNK ? RealPath(path) : path;
}

std::chrono::system_clock::time_point FileTime(int64_t seconds, uint32_t nanoseconds)
{
    // FILETIME counts 100 ns intervals; finer host digits would make a time the
    // device reports differ from the same time read back.
    auto date = platform::CalendarDate::fromSeconds(seconds, 0, static_cast<int32_t>(nanoseconds - nanoseconds % 100));
    // A find result holds its times on the host clock, which ends in 1677 and 2262;
    // a host file dated beyond (ext4 keeps dates up to 2446) gets no time rather
    // than one wrapped round into another century.
    auto time = date ? date->time() : std::nullopt;
    return time.value_or(std::chrono::system_clock::time_point{});
}

struct HostInfo {
    bool isDirectory = false;
    bool isFile = false;
    uint64_t size = 0;
    mode_t mode = 0;
    dev_t device = 0;
    ino_t inode = 0;
    std::chrono::system_clock::time_point creation, access, write;
};

// What the host says of a path, following links; or of `path` relative to the
// open folder `at`, not following one.
std::optional<HostInfo> Inspect(const std::string& path, int at = AT_FDCWD)
{
    struct statx sx {};
    int flags = AT_STATX_SYNC_AS_STAT | (at == AT_FDCWD ? 0 : AT_SYMLINK_NOFOLLOW);
    if (::statx(at, path.c_str(), flags, STATX_BASIC_STATS | STATX_BTIME, &sx) != 0)
        return std::nullopt;
    HostInfo info;
    info.isDirectory = S_ISDIR(sx.stx_mode);
    info.isFile = S_ISREG(sx.stx_mode);
    info.size = info.isDirectory ? 0 : sx.stx_size;
    info.mode = sx.stx_mode;
    info.device = makedev(sx.stx_dev_major, sx.stx_dev_minor);
    info.inode = sx.stx_ino;
    info.write = FileTime(sx.stx_mtime.tv_sec, sx.stx_mtime.tv_nsec);
    info.access = FileTime(sx.stx_atime.tv_sec, sx.stx_atime.tv_nsec);
    info.creation = (sx.stx_mask & STATX_BTIME) ? FileTime(sx.stx_btime.tv_sec, sx.stx_btime.tv_nsec) : info.write;
    return info;
}

DWORD AttributesOf(const std::string& name, const HostInfo& info)
{
    DWORD attributes = 0;
    if (info.isDirectory)
        attributes |= FILE_ATTRIBUTE_DIRECTORY;
    else if (!(info.mode & S_IWUSR))
        attributes |= FILE_ATTRIBUTE_READONLY;
    if (!name.empty() && name[0] == '.')
        attributes |= FILE_ATTRIBUTE_HIDDEN;
    if (attributes == 0)
        attributes = FILE_ATTRIBUTE_NORMAL;
    return attributes;
}

RapiFindData MakeFindData(const std::string& name, const HostInfo& info, DWORD flags)
{
    RapiFindData data;
    if (flags & FAF_NAME)
        data.filename = name;
    if (flags & FAF_ATTRIBUTES)
        data.attributes = AttributesOf(name, info);
    if (flags & FAF_CREATION_TIME)
        data.creationTime = info.creation;
    if (flags & FAF_LASTACCESS_TIME)
        data.lastAccessTime = info.access;
    if (flags & FAF_LASTWRITE_TIME)
        data.lastModTime = info.write;
    if (flags & FAF_SIZE_HIGH)
        data.fileSize |= info.size & 0xFFFFFFFF00000000ULL;
    if (flags & FAF_SIZE_LOW)
        data.fileSize |= info.size & 0xFFFFFFFFULL;
    if (flags & FAF_OID)
        data.oid = static_cast<uint32_t>(info.inode);
    return data;
}

// Another program of the device holds the file when another process keeps an
// exclusive flock(2) on it; a probe on a fresh descriptor tells without waiting.
bool HeldElsewhere(const std::string& path)
{
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return false;
    bool held = false;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0)
        held = errno == EWOULDBLOCK;
    else
        ::flock(fd, LOCK_UN);
    ::close(fd);
    return held;
}

uint32_t Clip32(int64_t value)
{
    if (value < 0)
        return 0;
    return value > 0xFFFFFFFFLL ? 0xFFFFFFFFu : static_cast<uint32_t>(value);
}

struct OpenFile {
    const void* owner = nullptr; // the session whose handle it is
    int fd = -1;
    DWORD access = 0;
    DWORD sharing = 0;
    dev_t device = 0;
    ino_t inode = 0;
};

// The open files of one device. Every session of this process that opens the same
// device directory shares them, since a device has one file system and the sharing
// rules hold between all its users; a handle still belongs to the session that made it.
struct OpenFiles {
    std::mutex mutex;
    std::map<HANDLE, OpenFile> files;
    HANDLE nextHandle = kFirstHandle;

    OpenFile* find(const void* owner, HANDLE handle)
    {
        auto it = files.find(handle);
        return it == files.end() || it->second.owner != owner ? nullptr : &it->second;
    }
};

std::shared_ptr<OpenFiles> OpenFilesOf(const std::string& fsRoot)
{
    static std::mutex registryMutex;
    static std::map<std::string, std::weak_ptr<OpenFiles>> registry;
    std::lock_guard lock(registryMutex);
    auto& slot = registry[fsRoot];
    auto shared = slot.lock();
    if (!shared) {
        shared = std::make_shared<OpenFiles>();
        slot = shared;
    }
    return shared;
}

} // namespace

struct EmulatedDevice::Impl {
    std::string directory;
    std::string fsRoot;

    struct Settings {
        std::string deviceClass = "PocketPC";
        std::optional<std::string> deviceName;
        std::optional<int64_t> storeSize, storeFree;
        int64_t cardsTotal = 0, cardsFree = 0;
        int64_t latencyMicroseconds = 0;
        std::map<uint32_t, uint32_t> processes;
    } settings;
    struct timespec settingsTime {};
    ino_t settingsInode = 0;
    off_t settingsSize = -1;

    std::shared_ptr<OpenFiles> open; // guarded by open->mutex

    std::unique_ptr<EmulatedRegistry> registry;
    std::unique_ptr<EmulatedDeviceLibrary> library;

    std::set<uint8_t*> replyBlocks;
    DWORD lastError = 0;

    std::string devicePlist() const { return directory + "/device.plist"; }

    void reloadSettings();
    void beginCall();
    BOOL fail(DWORD code)
    {
        lastError = code;
        return FALSE;
    }

    struct Resolved {
        bool isRoot = false;
        std::string parent;                   // canonical host folder holding the entry
        std::string givenName;                // the last name as the caller spelled it
        std::optional<std::string> entryName; // the host entry matching it, if any
        std::string target;                   // canonical host path when it exists
        bool exists = false;                  // found, inside fs/, a file or folder
        bool blocked = false;                 // a name that leads outside fs/ or to no file
        HostInfo info;
        std::string entryPath() const { return parent + "/" + *entryName; }
        std::string newPath() const { return parent + "/" + givenName; }
    };
    std::optional<std::string> findEntry(const std::string& folder, const std::string& name) const;
    DWORD resolve(const std::string& devicePath, Resolved& out) const;
    bool isOpen(const HostInfo& info) const;
    bool sharingConflict(const HostInfo& info, DWORD access, DWORD sharing) const;

    // What the device-side library does to the device's files.
    std::optional<std::vector<uint8_t>> readDeviceFile(const std::string& path, DWORD& error) const;
    DWORD writeDeviceFile(const std::string& path, const std::vector<uint8_t>& data) const;
};

// ---------------------------------------------------------------------------
// Set-up and settings

std::shared_ptr<EmulatedDevice> EmulatedDevice::open(const std::string& directory)
{
    auto fs = RealPath(directory + "/fs");
    if (!fs)
        return nullptr;
    struct stat st {};
    if (::stat(fs->c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return nullptr;
    auto base = RealPath(directory);
    return std::shared_ptr<EmulatedDevice>(new EmulatedDevice(base ? *base : directory, *fs));
}

std::shared_ptr<EmulatedDevice> EmulatedDevice::fromEnvironment()
{
    const char* directory = std::getenv("PAVRIX_DEVICE");
    if (!directory || !*directory)
        return nullptr;
    return open(directory);
}

EmulatedDevice::EmulatedDevice(std::string directory, std::string fsRoot) : impl_(std::make_unique<Impl>()), directory_(directory)
{
    impl_->directory = std::move(directory);
    impl_->fsRoot = std::move(fsRoot);
    impl_->open = OpenFilesOf(impl_->fsRoot);
    impl_->reloadSettings();
    impl_->registry = std::make_unique<EmulatedRegistry>(impl_->directory + "/registry.plist");
    Impl* d = impl_.get();
    // The library runs inside the device call that invoked it, so the settings are
    // current and the device is already locked.
    impl_->library = std::make_unique<EmulatedDeviceLibrary>(
        impl_->directory,
        EmulatedDeviceLibrary::Device{
            [d] { return d->settings.deviceClass; },
            [d](uint32_t process) -> std::optional<uint32_t> {
                auto it = d->settings.processes.find(process);
                if (it == d->settings.processes.end())
                    return std::nullopt;
                return it->second;
            },
            [d](const std::string& path, DWORD& error) { return d->readDeviceFile(path, error); },
            [d](const std::string& path, const std::vector<uint8_t>& data) { return d->writeDeviceFile(path, data); },
        });
}

EmulatedDevice::~EmulatedDevice()
{
    {
        std::lock_guard lock(impl_->open->mutex);
        auto& files = impl_->open->files;
        for (auto it = files.begin(); it != files.end();) {
            if (it->second.owner == impl_.get()) {
                ::close(it->second.fd);
                it = files.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (uint8_t* block : impl_->replyBlocks)
        std::free(block);
}

void EmulatedDevice::Impl::reloadSettings()
{
    struct stat st {};
    bool present = ::stat(devicePlist().c_str(), &st) == 0;
    if (present && st.st_mtim.tv_sec == settingsTime.tv_sec && st.st_mtim.tv_nsec == settingsTime.tv_nsec &&
        st.st_ino == settingsInode && st.st_size == settingsSize)
        return;
    if (!present && settingsSize == -1 && settingsInode == 0 && settingsTime.tv_sec == 0)
        return;
    settings = Settings{};
    settingsTime = present ? st.st_mtim : timespec{};
    settingsInode = present ? st.st_ino : 0;
    settingsSize = present ? st.st_size : -1;
    auto plist = present ? PlistObject::loadDictionary(devicePlist()) : std::nullopt;
    if (!plist)
        return;
    if (auto value = plist->getString("DeviceClass"))
        settings.deviceClass = *value;
    settings.deviceName = plist->getString("DeviceName");
    settings.storeSize = plist->getInteger("StoreSize");
    settings.storeFree = plist->getInteger("StoreFree");
    settings.cardsTotal = plist->getInteger("CardsTotal").value_or(0);
    settings.cardsFree = plist->getInteger("CardsFree").value_or(0);
    settings.latencyMicroseconds = plist->getInteger("LatencyMicroseconds").value_or(0);
    if (auto processes = plist->get("Processes")) {
        for (const auto& key : processes->keys()) {
            char* end = nullptr;
            unsigned long id = std::strtoul(key.c_str(), &end, 10);
            auto code = processes->getInteger(key);
            if (end && *end == '\0' && !key.empty() && code)
                settings.processes[static_cast<uint32_t>(id)] = static_cast<uint32_t>(*code);
        }
    }
}

// Every call sees the current settings and pays the link's latency.
void EmulatedDevice::Impl::beginCall()
{
    reloadSettings();
    if (settings.latencyMicroseconds > 0)
        std::this_thread::sleep_for(std::chrono::microseconds(settings.latencyMicroseconds));
}

std::map<std::string, std::string> EmulatedDevice::description()
{
    std::lock_guard lock(mutex_);
    impl_->reloadSettings();
    std::map<std::string, std::string> out;
    out["DeviceClass"] = impl_->settings.deviceClass;
    std::string base = impl_->directory.substr(impl_->directory.find_last_of('/') + 1);
    out["DeviceName"] = impl_->settings.deviceName.value_or(base);
    out["DevicePath"] = impl_->directory;
    return out;
}

// ---------------------------------------------------------------------------
// Paths

std::optional<std::string> EmulatedDevice::Impl::findEntry(const std::string& folder, const std::string& name) const
{
    if (name.find('/') != std::string::npos || name == "." || name == "..")
        return std::nullopt;
    struct stat st {};
    if (::lstat((folder + "/" + name).c_str(), &st) == 0)
        return name;
    DIR* dir = ::opendir(folder.c_str());
    if (!dir)
        return std::nullopt;
    std::optional<std::string> found;
    while (struct dirent* entry = ::readdir(dir)) {
        std::string candidate = entry->d_name;
        if (candidate == "." || candidate == "..")
            continue;
        if (DeviceNamesEqual(candidate, name) && (!found || DeviceNameLess(candidate, *found)))
            found = candidate;
    }
    ::closedir(dir);
    return found;
}

DWORD EmulatedDevice::Impl::resolve(const std::string& devicePath, Resolved& out) const
{
    out = Resolved{};
    if (devicePath.find('\0') != std::string::npos)
        return ERROR_INVALID_NAME;
    auto parts = SplitDevicePath(devicePath);
    if (parts.empty()) {
        out.isRoot = true;
        out.target = fsRoot;
        out.parent = fsRoot;
        auto info = Inspect(fsRoot);
        out.exists = info.has_value();
        if (info)
            out.info = *info;
        return 0;
    }
    std::string folder = fsRoot;
    for (size_t i = 0; i + 1 < parts.size(); ++i) {
        auto name = findEntry(folder, parts[i]);
        if (!name)
            return ERROR_PATH_NOT_FOUND;
        auto real = CanonicalEntry(folder, *name, DT_UNKNOWN);
        if (!real || !IsInside(fsRoot, *real))
            return ERROR_PATH_NOT_FOUND;
        auto info = Inspect(*real);
        if (!info || !info->isDirectory)
            return ERROR_PATH_NOT_FOUND;
        folder = *real;
    }
    out.parent = folder;
    out.givenName = parts.back();
    if (out.givenName == "..") {
        out.blocked = true;
        return 0;
    }
    out.entryName = findEntry(folder, out.givenName);
    if (!out.entryName)
        return 0;
    auto real = CanonicalEntry(folder, *out.entryName, DT_UNKNOWN);
    std::optional<HostInfo> info;
    if (real && IsInside(fsRoot, *real) && *real != fsRoot)
        info = Inspect(*real);
    if (info && (info->isDirectory || info->isFile)) {
        out.exists = true;
        out.target = *real;
        out.info = *info;
    } else {
        out.blocked = true;
    }
    return 0;
}

// Both with open->mutex held.
bool EmulatedDevice::Impl::isOpen(const HostInfo& info) const
{
    for (const auto& [handle, file] : open->files)
        if (file.device == info.device && file.inode == info.inode)
            return true;
    return false;
}

// Win32 sharing: an open must allow what earlier handles do, and earlier handles
// must allow what it does.
bool EmulatedDevice::Impl::sharingConflict(const HostInfo& info, DWORD access, DWORD sharing) const
{
    // A handle that neither reads nor writes only queries the file and takes part
    // in no sharing check, either way.
    constexpr DWORD kData = GENERIC_READ | GENERIC_WRITE;
    if (!(access & kData))
        return false;
    for (const auto& [handle, file] : open->files) {
        if (file.device != info.device || file.inode != info.inode || !(file.access & kData))
            continue;
        if ((access & GENERIC_READ) && !(file.sharing & FILE_SHARE_READ))
            return true;
        if ((access & GENERIC_WRITE) && !(file.sharing & FILE_SHARE_WRITE))
            return true;
        if ((file.access & GENERIC_READ) && !(sharing & FILE_SHARE_READ))
            return true;
        if ((file.access & GENERIC_WRITE) && !(sharing & FILE_SHARE_WRITE))
            return true;
    }
    return false;
}

// ---------------------------------------------------------------------------
// Finds

BOOL EmulatedDevice::CeFindAllFiles(const std::string& path, DWORD flags, std::vector<RapiFindData>& findData)
{
    std::lock_guard lock(mutex_);
    Impl& d = *impl_;
    d.beginCall();
    findData.clear();

    size_t cut = path.find_last_of("\\/");
    std::string last = cut == std::string::npos ? path : path.substr(cut + 1);
    bool wildcard = last.find_first_of("*?") != std::string::npos;

    auto keep = [&](const std::string& name, const HostInfo& info) {
        DWORD attributes = AttributesOf(name, info);
        if ((flags & FAF_FOLDERS_ONLY) && !info.isDirectory)
            return false;
        if ((flags & FAF_ATTRIB_NO_HIDDEN) && (attributes & FILE_ATTRIBUTE_HIDDEN))
            return false;
        return true;
    };

    if (!wildcard) {
        Impl::Resolved r;
        if (DWORD error = d.resolve(path, r))
            return d.fail(error);
        if (r.isRoot || !r.exists)
            return d.fail(ERROR_FILE_NOT_FOUND);
        if (keep(*r.entryName, r.info))
            findData.push_back(MakeFindData(*r.entryName, r.info, flags));
        return TRUE;
    }

    Impl::Resolved folder;
    std::string folderPath = cut == std::string::npos ? std::string() : path.substr(0, cut);
    if (DWORD error = d.resolve(folderPath, folder))
        return d.fail(error);
    if (!folder.exists || !folder.info.isDirectory)
        return d.fail(ERROR_PATH_NOT_FOUND);
    DIR* dir = ::opendir(folder.target.c_str());
    if (!dir)
        return d.fail(ErrnoToWin32(errno));
    struct Entry {
        std::string name;
        HostInfo info;
        DeviceNameKey key; // worked out once, not on every comparison of the sort
    };
    std::vector<Entry> entries;
    while (struct dirent* entry = ::readdir(dir)) {
        std::string name = entry->d_name;
        if (name == "." || name == ".." || !DeviceNameMatches(last, name))
            continue;
        std::optional<HostInfo> info;
        if (entry->d_type == DT_REG || entry->d_type == DT_DIR) {
            // Not a link: the entry is what it names, inside the folder.
            info = Inspect(name, ::dirfd(dir));
        } else {
            auto real = CanonicalEntry(folder.target, name, entry->d_type);
            if (!real || !IsInside(d.fsRoot, *real) || *real == d.fsRoot)
                continue;
            info = Inspect(*real);
        }
        if (!info || !(info->isDirectory || info->isFile) || !keep(name, *info))
            continue;
        entries.push_back({name, *info, DeviceNameSortKey(name)});
    }
    ::closedir(dir);
    std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
        return a.key != b.key ? a.key < b.key : a.name < b.name;
    });
    findData.reserve(entries.size());
    for (const auto& entry : entries)
        findData.push_back(MakeFindData(entry.name, entry.info, flags));
    return TRUE;
}

// ---------------------------------------------------------------------------
// Files

HANDLE EmulatedDevice::CeCreateFile(const std::string& path, DWORD desiredAccess, DWORD sharingMode,
                                    DWORD creationDisposition, DWORD /*flagsAndAttributes*/)
{
    std::lock_guard lock(mutex_);
    Impl& d = *impl_;
    d.beginCall();
    auto failed = [&](DWORD code) {
        d.lastError = code;
        return INVALID_HANDLE_VALUE;
    };
    if (creationDisposition < CREATE_NEW || creationDisposition > TRUNCATE_EXISTING)
        return failed(ERROR_INVALID_PARAMETER);
    Impl::Resolved r;
    if (DWORD error = d.resolve(path, r))
        return failed(error);
    if (r.isRoot || (r.exists && r.info.isDirectory))
        return failed(ERROR_ACCESS_DENIED);

    bool truncate = creationDisposition == CREATE_ALWAYS || creationDisposition == TRUNCATE_EXISTING;
    std::lock_guard openLock(d.open->mutex);
    int fd = -1;
    HostInfo info;
    if (r.exists) {
        if (creationDisposition == CREATE_NEW)
            return failed(ERROR_FILE_EXISTS);
        DWORD effectiveAccess = desiredAccess | (truncate ? GENERIC_WRITE : 0);
        if ((effectiveAccess & GENERIC_WRITE) && !(r.info.mode & S_IWUSR))
            return failed(ERROR_ACCESS_DENIED);
        if (d.sharingConflict(r.info, effectiveAccess, sharingMode) || HeldElsewhere(r.target))
            return failed(ERROR_SHARING_VIOLATION);
        int flags = O_CLOEXEC | (truncate ? O_TRUNC : 0);
        if (effectiveAccess & GENERIC_WRITE)
            flags |= (desiredAccess & GENERIC_READ) ? O_RDWR : O_WRONLY;
        else
            flags |= O_RDONLY;
        fd = ::open(r.target.c_str(), flags);
        if (fd < 0)
            return failed(ErrnoToWin32(errno));
        info = r.info;
    } else {
        if (r.blocked)
            return failed(creationDisposition == OPEN_EXISTING || creationDisposition == TRUNCATE_EXISTING
                              ? ERROR_FILE_NOT_FOUND
                              : ERROR_ACCESS_DENIED);
        if (creationDisposition == OPEN_EXISTING || creationDisposition == TRUNCATE_EXISTING)
            return failed(ERROR_FILE_NOT_FOUND);
        if (!IsValidDeviceName(r.givenName))
            return failed(ERROR_INVALID_NAME);
        int flags = O_CLOEXEC | O_CREAT | O_EXCL | O_NOFOLLOW | ((desiredAccess & GENERIC_READ) ? O_RDWR : O_WRONLY);
        fd = ::open(r.newPath().c_str(), flags, 0644);
        if (fd < 0)
            return failed(errno == EEXIST ? ERROR_FILE_EXISTS : ErrnoToWin32(errno));
        auto made = Inspect(r.newPath());
        if (made)
            info = *made;
    }
    HANDLE handle = d.open->nextHandle;
    do {
        handle = d.open->nextHandle;
        d.open->nextHandle = handle >= INVALID_HANDLE_VALUE - 8 ? kFirstHandle : handle + 4;
    } while (d.open->files.count(handle));
    d.open->files[handle] = OpenFile{&d, fd, desiredAccess, sharingMode, info.device, info.inode};
    return handle;
}

namespace {

// Reads or writes (by `step`) up to `count` bytes through an open handle of the
// session, stopping early only at the end of the file. `Device` is the session's
// private state, deduced so that this stays one piece for both directions.
template <class Device, class Step>
BOOL Transfer(Device& d, HANDLE handle, DWORD access, bool hasBuffer, DWORD count, DWORD& moved, Step step)
{
    d.beginCall();
    moved = 0;
    std::lock_guard openLock(d.open->mutex);
    auto* file = d.open->find(&d, handle);
    if (!file)
        return d.fail(ERROR_INVALID_HANDLE);
    if (!(file->access & access))
        return d.fail(ERROR_ACCESS_DENIED);
    if (count > 0 && !hasBuffer)
        return d.fail(ERROR_INVALID_PARAMETER);
    while (moved < count) {
        ssize_t n = step(file->fd, moved, count - moved);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return d.fail(ErrnoToWin32(errno));
        }
        if (n == 0)
            break;
        moved += static_cast<DWORD>(n);
    }
    return TRUE;
}

} // namespace

BOOL EmulatedDevice::CeReadFile(HANDLE handle, uint8_t* buffer, DWORD bytesToRead, DWORD& bytesRead)
{
    std::lock_guard lock(mutex_);
    return Transfer(*impl_, handle, GENERIC_READ, buffer != nullptr, bytesToRead, bytesRead,
                    [&](int fd, DWORD done, DWORD left) { return ::read(fd, buffer + done, left); });
}

BOOL EmulatedDevice::CeWriteFile(HANDLE handle, const uint8_t* buffer, DWORD bytesToWrite, DWORD& bytesWritten)
{
    std::lock_guard lock(mutex_);
    return Transfer(*impl_, handle, GENERIC_WRITE, buffer != nullptr, bytesToWrite, bytesWritten,
                    [&](int fd, DWORD done, DWORD left) { return ::write(fd, buffer + done, left); });
}

DWORD EmulatedDevice::CeSetFilePointer(HANDLE handle, LONG distanceToMove, LONG* distanceToMoveHigh, DWORD moveMethod)
{
    std::lock_guard lock(mutex_);
    Impl& d = *impl_;
    d.beginCall();
    auto failed = [&](DWORD code) {
        d.lastError = code;
        return INVALID_SET_FILE_POINTER;
    };
    std::lock_guard openLock(d.open->mutex);
    OpenFile* file = d.open->find(&d, handle);
    if (!file)
        return failed(ERROR_INVALID_HANDLE);
    int fd = file->fd;
    int64_t distance = distanceToMoveHigh
                           ? static_cast<int64_t>((static_cast<uint64_t>(static_cast<uint32_t>(*distanceToMoveHigh)) << 32) |
                                                  static_cast<uint32_t>(distanceToMove))
                           : static_cast<int64_t>(distanceToMove);
    int64_t base = 0;
    switch (moveMethod) {
    case FILE_BEGIN:
        break;
    case FILE_CURRENT:
        base = ::lseek(fd, 0, SEEK_CUR);
        break;
    case FILE_END: {
        struct stat st {};
        if (::fstat(fd, &st) != 0)
            return failed(ErrnoToWin32(errno));
        base = st.st_size;
        break;
    }
    default:
        return failed(ERROR_INVALID_PARAMETER);
    }
    if (base < 0)
        return failed(ErrnoToWin32(errno));
    int64_t position = base + distance;
    if (position < 0)
        return failed(ERROR_NEGATIVE_SEEK);
    if (::lseek(fd, position, SEEK_SET) < 0)
        return failed(ErrnoToWin32(errno));
    if (distanceToMoveHigh)
        *distanceToMoveHigh = static_cast<LONG>(static_cast<uint64_t>(position) >> 32);
    DWORD low = static_cast<DWORD>(position & 0xFFFFFFFF);
    // A position whose low half is all ones looks like a failure; as on Win32 the
    // error code is cleared so that callers can tell the two apart.
    if (low == INVALID_SET_FILE_POINTER)
        d.lastError = ERROR_SUCCESS;
    return low;
}

BOOL EmulatedDevice::CeCloseHandle(HANDLE handle)
{
    std::lock_guard lock(mutex_);
    Impl& d = *impl_;
    d.beginCall();
    std::lock_guard openLock(d.open->mutex);
    OpenFile* file = d.open->find(&d, handle);
    if (!file)
        return d.fail(ERROR_INVALID_HANDLE);
    ::close(file->fd);
    d.open->files.erase(handle);
    return TRUE;
}

DWORD EmulatedDevice::CeGetLastError()
{
    std::lock_guard lock(mutex_);
    impl_->beginCall();
    return impl_->lastError;
}

// ---------------------------------------------------------------------------
// Changes

BOOL EmulatedDevice::CeDeleteFile(const std::string& path)
{
    std::lock_guard lock(mutex_);
    Impl& d = *impl_;
    d.beginCall();
    Impl::Resolved r;
    if (DWORD error = d.resolve(path, r))
        return d.fail(error);
    if (r.isRoot)
        return d.fail(ERROR_ACCESS_DENIED);
    if (!r.exists)
        return d.fail(ERROR_FILE_NOT_FOUND);
    if (r.info.isDirectory)
        return d.fail(ERROR_ACCESS_DENIED);
    std::lock_guard openLock(d.open->mutex);
    if (d.isOpen(r.info) || HeldElsewhere(r.target))
        return d.fail(ERROR_SHARING_VIOLATION);
    if (!(r.info.mode & S_IWUSR))
        return d.fail(ERROR_ACCESS_DENIED);
    if (::unlink(r.entryPath().c_str()) != 0)
        return d.fail(ErrnoToWin32(errno));
    return TRUE;
}

BOOL EmulatedDevice::CeRemoveDirectory(const std::string& path)
{
    std::lock_guard lock(mutex_);
    Impl& d = *impl_;
    d.beginCall();
    Impl::Resolved r;
    if (DWORD error = d.resolve(path, r))
        return d.fail(error);
    if (r.isRoot)
        return d.fail(ERROR_ACCESS_DENIED);
    if (!r.exists)
        return d.fail(ERROR_FILE_NOT_FOUND);
    if (!r.info.isDirectory)
        return d.fail(ERROR_DIRECTORY);
    if (::rmdir(r.entryPath().c_str()) != 0) {
        if (errno == ENOTEMPTY || errno == EEXIST)
            return d.fail(ERROR_DIR_NOT_EMPTY);
        return d.fail(errno == ENOTDIR ? ERROR_DIRECTORY : ErrnoToWin32(errno));
    }
    return TRUE;
}

BOOL EmulatedDevice::CeCreateDirectory(const std::string& path)
{
    std::lock_guard lock(mutex_);
    Impl& d = *impl_;
    d.beginCall();
    Impl::Resolved r;
    if (DWORD error = d.resolve(path, r))
        return d.fail(error);
    if (r.isRoot || r.exists || r.entryName)
        return d.fail(ERROR_ALREADY_EXISTS);
    if (!IsValidDeviceName(r.givenName))
        return d.fail(ERROR_INVALID_NAME);
    if (::mkdir(r.newPath().c_str(), 0755) != 0)
        return d.fail(ErrnoToWin32(errno));
    return TRUE;
}

BOOL EmulatedDevice::CeMoveFile(const std::string& existingFileName, const std::string& newFileName)
{
    std::lock_guard lock(mutex_);
    Impl& d = *impl_;
    d.beginCall();
    Impl::Resolved from, to;
    if (DWORD error = d.resolve(existingFileName, from))
        return d.fail(error);
    if (from.isRoot)
        return d.fail(ERROR_ACCESS_DENIED);
    if (!from.exists)
        return d.fail(ERROR_FILE_NOT_FOUND);
    std::lock_guard openLock(d.open->mutex);
    if (d.isOpen(from.info) || (from.info.isFile && HeldElsewhere(from.target)))
        return d.fail(ERROR_SHARING_VIOLATION);
    if (DWORD error = d.resolve(newFileName, to))
        return d.fail(error);
    if (to.isRoot)
        return d.fail(ERROR_ALREADY_EXISTS);
    // A name that differs from the source's only in letter case renames it in place.
    bool sameEntry = to.exists && to.info.device == from.info.device && to.info.inode == from.info.inode &&
                     to.parent == from.parent;
    if ((to.exists || to.entryName) && !sameEntry)
        return d.fail(ERROR_ALREADY_EXISTS);
    if (!IsValidDeviceName(to.givenName))
        return d.fail(ERROR_INVALID_NAME);
    if (from.info.isDirectory && IsInside(from.target, to.parent))
        return d.fail(ERROR_ACCESS_DENIED);
    if (::rename(from.entryPath().c_str(), to.newPath().c_str()) != 0)
        return d.fail(ErrnoToWin32(errno));
    return TRUE;
}

// ---------------------------------------------------------------------------
// Space

BOOL EmulatedDevice::CeGetStoreInformation(STORE_INFORMATION& storeInformation)
{
    std::lock_guard lock(mutex_);
    Impl& d = *impl_;
    d.beginCall();
    storeInformation = {};
    int64_t size = 0, free = 0;
    if (!d.settings.storeSize || !d.settings.storeFree) {
        struct statvfs vfs {};
        if (::statvfs(d.fsRoot.c_str(), &vfs) != 0)
            return d.fail(ErrnoToWin32(errno));
        size = static_cast<int64_t>(vfs.f_blocks) * static_cast<int64_t>(vfs.f_frsize);
        free = static_cast<int64_t>(vfs.f_bavail) * static_cast<int64_t>(vfs.f_frsize);
    }
    storeInformation.dwStoreSize = Clip32(d.settings.storeSize.value_or(size));
    storeInformation.dwFreeSize = Clip32(d.settings.storeFree.value_or(free));
    return TRUE;
}

BOOL EmulatedDevice::GetSpaceOnCards(uint32_t words[5])
{
    std::lock_guard lock(mutex_);
    Impl& d = *impl_;
    d.beginCall();
    auto total = static_cast<uint64_t>(std::max<int64_t>(0, d.settings.cardsTotal));
    auto free = static_cast<uint64_t>(std::max<int64_t>(0, d.settings.cardsFree));
    words[0] = total > 0 ? 1 : 0;
    words[1] = static_cast<uint32_t>(total >> 32);
    words[2] = static_cast<uint32_t>(total);
    words[3] = static_cast<uint32_t>(free >> 32);
    words[4] = static_cast<uint32_t>(free);
    return TRUE;
}

// ---------------------------------------------------------------------------
// Registry

LONG EmulatedDevice::CeRegOpenKeyEx(HKEY root, const std::string& subKey, HKEY& result)
{
    std::lock_guard lock(mutex_);
    impl_->beginCall();
    return impl_->registry->openKey(root, subKey, result);
}

LONG EmulatedDevice::CeRegCreateKeyEx(HKEY root, const std::string& subKey, const std::optional<std::string>& /*keyClass*/,
                                      HKEY& result, DWORD* disposition)
{
    std::lock_guard lock(mutex_);
    impl_->beginCall();
    return impl_->registry->createKey(root, subKey, result, disposition);
}

LONG EmulatedDevice::CeRegQueryValueEx(HKEY key, const std::string& valueName, std::optional<RegistryValue>& value)
{
    std::lock_guard lock(mutex_);
    impl_->beginCall();
    return impl_->registry->queryValue(key, valueName, value);
}

LONG EmulatedDevice::CeRegSetValueEx(HKEY key, const std::string& valueName, const RegistryValue& value)
{
    std::lock_guard lock(mutex_);
    impl_->beginCall();
    return impl_->registry->setValue(key, valueName, value);
}

LONG EmulatedDevice::CeRegCloseKey(HKEY key)
{
    std::lock_guard lock(mutex_);
    impl_->beginCall();
    return impl_->registry->closeKey(key);
}

// ---------------------------------------------------------------------------
// Device-side library

int32_t EmulatedDevice::CeRapiInvoke(const std::string& dll, const std::string& functionName, DWORD inputCount,
                                     const uint8_t* input, DWORD* outputCount, uint8_t** output)
{
    std::lock_guard lock(mutex_);
    Impl& d = *impl_;
    d.beginCall();
    if (outputCount)
        *outputCount = 0;
    if (output)
        *output = nullptr;
    if (!DeviceNamesEqual(dll, "pavrix") && !DeviceNamesEqual(dll, "pavrix.dll"))
        return static_cast<int32_t>(ERROR_MOD_NOT_FOUND);
    if (inputCount > 0 && !input)
        return static_cast<int32_t>(ERROR_INVALID_PARAMETER);
    std::vector<uint8_t> in(input, input + inputCount);
    std::optional<std::vector<uint8_t>> reply;
    int32_t result = d.library->invoke(functionName, in, reply);
    if (result == 0 && reply && outputCount && output) {
        auto* block = static_cast<uint8_t*>(std::malloc(std::max<size_t>(reply->size(), 1)));
        if (!block)
            return static_cast<int32_t>(ERROR_NOT_ENOUGH_MEMORY);
        std::copy(reply->begin(), reply->end(), block);
        d.replyBlocks.insert(block);
        *output = block;
        *outputCount = static_cast<DWORD>(reply->size());
    }
    return result;
}

void EmulatedDevice::CeRapiFreeBuffer(uint8_t* buffer)
{
    std::lock_guard lock(mutex_);
    // Only blocks this device handed out are freed; anything else is left alone
    // rather than corrupting the heap.
    if (buffer && impl_->replyBlocks.erase(buffer))
        std::free(buffer);
}

std::optional<std::vector<uint8_t>> EmulatedDevice::Impl::readDeviceFile(const std::string& path, DWORD& error) const
{
    Resolved r;
    if ((error = resolve(path, r)))
        return std::nullopt;
    if (!r.exists || r.isRoot) {
        error = ERROR_FILE_NOT_FOUND;
        return std::nullopt;
    }
    if (r.info.isDirectory) {
        error = ERROR_ACCESS_DENIED;
        return std::nullopt;
    }
    std::lock_guard openLock(open->mutex);
    if (sharingConflict(r.info, GENERIC_READ, FILE_SHARE_READ) || HeldElsewhere(r.target)) {
        error = ERROR_SHARING_VIOLATION;
        return std::nullopt;
    }
    int fd = ::open(r.target.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = ErrnoToWin32(errno);
        return std::nullopt;
    }
    std::vector<uint8_t> contents;
    uint8_t chunk[65536];
    for (;;) {
        ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n < 0)
                error = ErrnoToWin32(errno);
            break;
        }
        contents.insert(contents.end(), chunk, chunk + n);
    }
    ::close(fd);
    if (error)
        return std::nullopt;
    return contents;
}

DWORD EmulatedDevice::Impl::writeDeviceFile(const std::string& path, const std::vector<uint8_t>& data) const
{
    Resolved r;
    if (DWORD error = resolve(path, r))
        return error;
    if (r.isRoot || (r.exists && r.info.isDirectory) || r.blocked)
        return ERROR_ACCESS_DENIED;
    std::string target;
    std::lock_guard openLock(open->mutex);
    if (r.exists) {
        if (sharingConflict(r.info, GENERIC_WRITE, 0) || HeldElsewhere(r.target))
            return ERROR_SHARING_VIOLATION;
        if (!(r.info.mode & S_IWUSR))
            return ERROR_ACCESS_DENIED;
        target = r.target;
    } else {
        if (!IsValidDeviceName(r.givenName))
            return ERROR_INVALID_NAME;
        target = r.newPath();
    }
    int fd = ::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | (r.exists ? 0 : O_NOFOLLOW), 0644);
    if (fd < 0)
        return ErrnoToWin32(errno);
    size_t written = 0;
    DWORD error = 0;
    while (written < data.size()) {
        ssize_t n = ::write(fd, data.data() + written, data.size() - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            error = ErrnoToWin32(errno);
            break;
        }
        written += static_cast<size_t>(n);
    }
    ::close(fd);
    return error;
}


#include "pavrixwm/DeviceFileTree.h"

#include "pavrixwm/DeviceNames.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string_view>

namespace {

// Device paths separate names by backslashes (a slash is accepted as Win32 does);
// empty names and "." are dropped, so "\a\\b\" names the same file as "\a\b".
// The next name of what is left of a path, taken off it; none at its end.
std::optional<std::string_view> NextName(std::string_view& rest)
{
    while (!rest.empty()) {
        // A loop rather than find_first_of, which calls memchr once for every byte.
        size_t end = 0;
        while (end < rest.size() && rest[end] != '\\' && rest[end] != '/')
            ++end;
        std::string_view name = rest.substr(0, end);
        rest.remove_prefix(std::min(end + 1, rest.size()));
        if (!name.empty() && name != ".")
            return name;
    }
    return std::nullopt;
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

DWORD AttributesOf(const std::string& name, const HostInfo& info)
{
    DWORD attributes = 0;
    if (info.isDirectory)
        attributes |= FILE_ATTRIBUTE_DIRECTORY;
    else if (!info.writable())
        attributes |= FILE_ATTRIBUTE_READONLY;
    // Names beginning with "." are hidden on the host, so they are on the device.
    if (!name.empty() && name[0] == '.')
        attributes |= FILE_ATTRIBUTE_HIDDEN;
    if (attributes == 0)
        attributes = FILE_ATTRIBUTE_NORMAL;
    return attributes;
}

RapiFindData MakeFindData(std::string name, const HostInfo& info, DWORD flags)
{
    RapiFindData data;
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
    if (flags & FAF_NAME)
        data.filename = std::move(name);
    return data;
}

// The first eight bytes of a sort key as a number that orders as they do; a shorter
// key is padded with zeros, which no name holds, so it orders before any longer key
// it begins. Equal heads leave the order to the whole keys.
uint64_t KeyHead(const DeviceNameKey& key)
{
    uint64_t head = 0;
    for (size_t i = 0; i < 8; ++i)
        head = head << 8 | (i < key.size() ? static_cast<unsigned char>(key[i]) : 0);
    return head;
}

// Whether a find with these flags reports the entry at all.
bool Wanted(DWORD flags, const std::string& name, const HostInfo& info)
{
    if ((flags & FAF_FOLDERS_ONLY) && !info.isDirectory)
        return false;
    return !((flags & FAF_ATTRIB_NO_HIDDEN) && (AttributesOf(name, info) & FILE_ATTRIBUTE_HIDDEN));
}

} // namespace

std::optional<DeviceFileTree::Entry> DeviceFileTree::findEntry(const std::string& folder, const HostInfo* folderInfo,
                                                               std::string_view name) const
{
    if (name.find('/') != std::string::npos || name == "." || name == "..")
        return std::nullopt;
    Entry found;
    bool isLink = false;
    std::string path;
    path.reserve(folder.size() + name.size() + 1);
    path.append(folder).append(1, '/').append(name);
    auto info = InspectEntry(path, isLink);
    if (info) {
        found.name = name;
    } else {
        // Folded once, not once per entry of what may be a large folder.
        const DeviceNameKey wanted = DeviceNameSortKey(std::string(name));
        std::optional<std::string> match;
        if (!names_.find(folder, folderInfo, wanted, match)) {
            std::string candidate;
            bool listed = ForEachName(folder, [&](std::string_view entryName, unsigned char, int) {
                candidate.assign(entryName);
                if (DeviceNameHasKey(candidate, wanted) && (!match || DeviceNameLess(candidate, *match)))
                    match = candidate;
            });
            if (!listed)
                return std::nullopt;
        }
        if (!match)
            return std::nullopt;
        found.name = std::move(*match);
        path.assign(folder).append(1, '/').append(found.name);
        info = InspectEntry(path, isLink);
        if (!info)
            return found; // gone meanwhile: named, but leading nowhere
    }
    // Only a symbolic link can lead elsewhere, so only a link costs a realpath and
    // a second look; anything else is what its own look said.
    if (!isLink) {
        found.real = std::move(path);
        found.info = info;
    } else if ((found.real = RealPath(path))) {
        found.info = Inspect(*found.real);
    }
    return found;
}

DWORD DeviceFileTree::resolve(const std::string& devicePath, Resolved& out) const
{
    out = Resolved{};
    if (devicePath.find('\0') != std::string::npos)
        return ERROR_INVALID_NAME;
    std::string_view rest = devicePath;
    auto name = NextName(rest);
    if (!name) {
        out.isRoot = true;
        out.target = fsRoot_;
        out.parent = fsRoot_;
        auto info = Inspect(fsRoot_);
        out.exists = info.has_value();
        if (info)
            out.info = *info;
        return 0;
    }
    std::string folder = fsRoot_;
    std::optional<HostInfo> folderInfo; // the root's is not looked up unless a name misses
    // Every name but the last is a folder on the way.
    for (auto next = NextName(rest); next; name = next, next = NextName(rest)) {
        auto entry = findEntry(folder, folderInfo ? &*folderInfo : nullptr, *name);
        if (!entry || !entry->real || !IsInsideFolder(fsRoot_, *entry->real) || !entry->info ||
            !entry->info->isDirectory)
            return ERROR_PATH_NOT_FOUND;
        folder = std::move(*entry->real);
        folderInfo = entry->info;
    }
    out.givenName = *name;
    if (out.givenName == "..") {
        out.parent = std::move(folder);
        out.blocked = true;
        return 0;
    }
    auto entry = findEntry(folder, folderInfo ? &*folderInfo : nullptr, out.givenName);
    out.parent = std::move(folder);
    if (!entry)
        return 0;
    out.entryName = std::move(entry->name);
    const auto& info = entry->info;
    if (entry->real && IsInsideFolder(fsRoot_, *entry->real) && *entry->real != fsRoot_ && info &&
        (info->isDirectory || info->isFile)) {
        out.exists = true;
        out.target = std::move(*entry->real);
        out.info = *info;
    } else {
        out.blocked = true;
    }
    return 0;
}

DWORD DeviceFileTree::resolveExisting(const std::string& devicePath, Resolved& out) const
{
    if (DWORD error = resolve(devicePath, out))
        return error;
    if (out.isRoot)
        return ERROR_ACCESS_DENIED;
    return out.exists ? 0 : ERROR_FILE_NOT_FOUND;
}

DWORD DeviceFileTree::find(const std::string& path, DWORD flags, std::vector<RapiFindData>& findData) const
{
    findData.clear();
    const size_t cut = LastNameStart(path);
    std::string last = path.substr(cut);
    if (!HasWildcard(last)) {
        Resolved r;
        if (DWORD error = resolve(path, r))
            return error;
        if (r.isRoot || !r.exists)
            return ERROR_FILE_NOT_FOUND;
        if (Wanted(flags, *r.entryName, r.info))
            findData.push_back(MakeFindData(*r.entryName, r.info, flags));
        return 0;
    }

    Resolved folder;
    if (DWORD error = resolve(path.substr(0, cut == 0 ? 0 : cut - 1), folder))
        return error;
    if (!folder.exists || !folder.info.isDirectory)
        return ERROR_PATH_NOT_FOUND;
    struct Entry {
        std::string name;
        HostInfo info;
        DeviceNameKey key; // worked out once, not on every comparison of the sort
    };
    std::vector<Entry> entries;
    bool listed = ForEachName(folder.target, [&](std::string_view entryName, unsigned char type, int dirFd) {
        std::string name(entryName);
        if (!DeviceNameMatches(last, name))
            return;
        std::optional<HostInfo> info;
        if (type == DT_REG || type == DT_DIR) {
            // Not a link: the entry is what it names, inside the folder.
            info = Inspect(name, dirFd);
        } else {
            auto real = CanonicalEntry(folder.target, name, type);
            if (!real || !IsInsideFolder(fsRoot_, *real) || *real == fsRoot_)
                return;
            info = Inspect(*real);
        }
        if (!info || !(info->isDirectory || info->isFile) || !Wanted(flags, name, *info))
            return;
        DeviceNameKey key = DeviceNameSortKey(name);
        entries.push_back({std::move(name), *info, std::move(key)});
    });
    if (!listed)
        return ErrnoToWin32(errno);
    // Positions are sorted rather than the entries themselves, each beside the first
    // eight bytes of its key as one number: most comparisons of a large folder are
    // settled by that number alone, without reaching into the entries.
    struct Position {
        uint64_t head;
        uint32_t index;
    };
    std::vector<Position> order(entries.size());
    for (uint32_t i = 0; i < order.size(); ++i)
        order[i] = {KeyHead(entries[i].key), i};
    std::sort(order.begin(), order.end(), [&](const Position& p, const Position& q) {
        if (p.head != q.head)
            return p.head < q.head;
        const Entry& a = entries[p.index];
        const Entry& b = entries[q.index];
        int byKey = a.key.compare(b.key);
        return byKey != 0 ? byKey < 0 : a.name < b.name;
    });
    findData.reserve(entries.size());
    for (const Position& p : order)
        findData.push_back(MakeFindData(std::move(entries[p.index].name), entries[p.index].info, flags));
    return 0;
}

DWORD DeviceFileTree::deleteFile(const std::string& path, const InUse& inUse) const
{
    Resolved r;
    if (DWORD error = resolveExisting(path, r))
        return error;
    if (r.info.isDirectory)
        return ERROR_ACCESS_DENIED;
    if (inUse(r.info) || HeldElsewhere(r.target))
        return ERROR_SHARING_VIOLATION;
    if (!r.info.writable())
        return ERROR_ACCESS_DENIED;
    return ::unlink(r.entryPath().c_str()) == 0 ? 0 : ErrnoToWin32(errno);
}

DWORD DeviceFileTree::removeDirectory(const std::string& path) const
{
    Resolved r;
    if (DWORD error = resolveExisting(path, r))
        return error;
    if (!r.info.isDirectory)
        return ERROR_DIRECTORY;
    if (::rmdir(r.entryPath().c_str()) == 0)
        return 0;
    if (errno == ENOTEMPTY || errno == EEXIST)
        return ERROR_DIR_NOT_EMPTY;
    return errno == ENOTDIR ? ERROR_DIRECTORY : ErrnoToWin32(errno);
}

DWORD DeviceFileTree::createDirectory(const std::string& path) const
{
    Resolved r;
    if (DWORD error = resolve(path, r))
        return error;
    if (r.isRoot || r.exists || r.entryName)
        return ERROR_ALREADY_EXISTS;
    if (!IsValidDeviceName(r.givenName))
        return ERROR_INVALID_NAME;
    return ::mkdir(r.newPath().c_str(), 0755) == 0 ? 0 : ErrnoToWin32(errno);
}

DWORD DeviceFileTree::move(const std::string& existingFileName, const std::string& newFileName, const InUse& inUse) const
{
    Resolved from, to;
    if (DWORD error = resolveExisting(existingFileName, from))
        return error;
    if (inUse(from.info) || (from.info.isFile && HeldElsewhere(from.target)))
        return ERROR_SHARING_VIOLATION;
    if (DWORD error = resolve(newFileName, to))
        return error;
    if (to.isRoot)
        return ERROR_ALREADY_EXISTS;
    bool sameEntry = to.exists && to.info.sameFile(from.info) && to.parent == from.parent;
    if ((to.exists || to.entryName) && !sameEntry)
        return ERROR_ALREADY_EXISTS;
    if (!IsValidDeviceName(to.givenName))
        return ERROR_INVALID_NAME;
    // A folder cannot go inside itself.
    if (from.info.isDirectory && IsInsideFolder(from.target, to.parent))
        return ERROR_ACCESS_DENIED;
    return ::rename(from.entryPath().c_str(), to.newPath().c_str()) == 0 ? 0 : ErrnoToWin32(errno);
}

DWORD DeviceFileTree::hostSpace(int64_t& size, int64_t& free) const
{
    struct statvfs vfs {};
    if (::statvfs(fsRoot_.c_str(), &vfs) != 0)
        return ErrnoToWin32(errno);
    size = static_cast<int64_t>(vfs.f_blocks) * static_cast<int64_t>(vfs.f_frsize);
    free = static_cast<int64_t>(vfs.f_bavail) * static_cast<int64_t>(vfs.f_frsize);
    return 0;
}

#pragma once

// The device's file system: the folder fs/ of a device directory, reached by device
// paths. Names are matched without regard to letter case, and nothing outside fs/
// is reachable: "..", or a symbolic link leading out of fs/, does not exist. Each
// call answers 0 or the Win32 code it fails with; the caller keeps the last one.

#include "pavrixwm/FolderNames.h"
#include "pavrixwm/HostInfo.h"
#include "pavrixwm/RapiFindData.h"
#include "pavrixwm/WinCE.h"

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class DeviceFileTree {
public:
    // A device path as found on the host.
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
    // Whether a handle of the device has the file open; such a file is neither
    // deleted nor moved.
    using InUse = std::function<bool(const HostInfo&)>;

    // The tree of the canonical folder `fsRoot`.
    explicit DeviceFileTree(std::string fsRoot) : fsRoot_(std::move(fsRoot)) {}
    const std::string& root() const { return fsRoot_; }

    // Looks a device path up; 0 with `out` filled in (the entry may not exist), or
    // the code for a folder on the way that is missing or outside fs/.
    DWORD resolve(const std::string& devicePath, Resolved& out) const;

    // The entries matching one exact path, or a folder and a pattern, in name order.
    DWORD find(const std::string& path, DWORD flags, std::vector<RapiFindData>& findData) const;

    DWORD deleteFile(const std::string& path, const InUse& inUse) const;
    DWORD removeDirectory(const std::string& path) const;
    DWORD createDirectory(const std::string& path) const;
    // Never replaces an existing entry; a name differing only in letter case
    // renames the entry in place.
    DWORD move(const std::string& from, const std::string& to, const InUse& inUse) const;

    // Size and free bytes of the host file system that holds fs/.
    DWORD hostSpace(int64_t& size, int64_t& free) const;

private:
    // resolve() for a change to an entry that must exist: the root is never changed.
    DWORD resolveExisting(const std::string& devicePath, Resolved& out) const;
    // A host entry of a canonical folder: its name, and where it leads with what
    // is there (none when it leads nowhere).
    struct Entry {
        std::string name;
        std::optional<std::string> real;
        std::optional<HostInfo> info;
    };
    // The host entry of `folder` that `name` names: spelled so, or else the first
    // in listing order that matches without regard to case. `folderInfo` is the
    // folder's own entry when the caller has just looked it up.
    std::optional<Entry> findEntry(const std::string& folder, const HostInfo* folderInfo, std::string_view name) const;

    std::string fsRoot_;
    // Looking a name up changes nothing the caller sees, so const lookups keep it.
    mutable FolderNameIndex names_;
};

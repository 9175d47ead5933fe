#pragma once

// What the emulated device needs to know of the host files that stand for its
// own: their kind, size, identity and times, whether another process holds them,
// and the Win32 code a failing host call stands for.

#include "pavrixwm/WinCE.h"

#include <fcntl.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

struct HostInfo {
    bool isDirectory = false;
    bool isFile = false;
    uint64_t size = 0;
    mode_t mode = 0;
    dev_t device = 0;
    ino_t inode = 0;
    std::chrono::system_clock::time_point creation, access, write;

    bool sameFile(const HostInfo& other) const { return device == other.device && inode == other.inode; }
    bool writable() const;
};

// What the host says of a path, following links; or of `path` relative to the
// open folder `at`, not following one. None when it cannot be looked at.
std::optional<HostInfo> Inspect(const std::string& path, int at = AT_FDCWD);
// What the host says of the file open as `fd`.
std::optional<HostInfo> InspectOpen(int fd);
// What the host says of the entry at `path` itself, not following a link; `isLink`
// tells whether it is one (its info is then the link's own). One call answers
// whether the entry exists, whether it leads elsewhere and, when not, what it is.
std::optional<HostInfo> InspectEntry(const std::string& path, bool& isLink);

// The canonical path, links resolved; none when it does not exist.
std::optional<std::string> RealPath(const std::string& path);

// Whether `path` is `folder` or lies below it (both canonical).
bool IsInsideFolder(const std::string& folder, const std::string& path);

// Another program of the device holds the file when another process keeps an
// exclusive flock(2) on it.
bool HeldElsewhere(const std::string& path);
// The same, asked through a descriptor the caller has just opened on the file
// itself (a lock belongs to the open file, so a fresh descriptor tells as well).
// Unless the file is held, the descriptor keeps a shared lock until it is closed:
// while the device has the file open, no other program takes it for itself.
bool HeldElsewhere(int freshDescriptor);

// The Win32 code for a failed host call's errno.
DWORD ErrnoToWin32(int error);

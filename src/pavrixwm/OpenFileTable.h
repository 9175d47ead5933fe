#pragma once

// The open files of one emulated device. A device has one file system and the
// Win32 sharing rules hold between all its users, so every session of this process
// over the same device shares one table; a handle still belongs to the session
// that made it and is not valid in another.

#include "pavrixwm/HostInfo.h"
#include "pavrixwm/WinCE.h"

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

// Who a handle belongs to: one per session of the device.
enum class SessionId : uint64_t {};

struct OpenFile {
    SessionId owner{};
    int fd = -1;
    DWORD access = 0;
    DWORD sharing = 0;
    dev_t device = 0;
    ino_t inode = 0;
};

class OpenFileTable {
public:
    // The table with its lock held, for as long as the view lives: a check (is the
    // file open, would it conflict) and the change that depends on it happen
    // without another session slipping in between.
    class Locked {
    public:
        explicit Locked(OpenFileTable& table) : lock_(table.mutex_), table_(table) {}
        // Whether any handle has the file open.
        bool isOpen(const HostInfo& info) const;
        // Whether opening the file with `access` and `sharing` breaks the sharing
        // rules with a handle already open on it.
        bool conflicts(const HostInfo& info, DWORD access, DWORD sharing) const;
        // The session's own open file behind a handle; null for any other handle.
        OpenFile* find(SessionId owner, HANDLE handle);
        // Takes the open file into the table under a new handle.
        HANDLE add(const OpenFile& file);
        // Closes a handle that find() gave.
        void close(HANDLE handle);

    private:
        std::lock_guard<std::mutex> lock_;
        OpenFileTable& table_;
    };

    Locked lock() { return Locked(*this); }
    // A new session's identity, unique within this table.
    SessionId newSession();
    // Closes every handle of a session that ends.
    void closeAll(SessionId owner);

private:
    // Handles start well away from 0 and the small numbers a caller might mistake
    // for one, and step by four as Win32 handles do.
    static constexpr HANDLE kFirstHandle = 0x100;

    std::mutex mutex_;
    std::map<HANDLE, OpenFile> files_;
    HANDLE nextHandle_ = kFirstHandle;
    uint64_t nextSession_ = 1;
};

// Which table each device of this process uses, by the canonical path of its file
// tree. A table lives as long as a session over its device does.
class OpenFileRegistry {
public:
    std::shared_ptr<OpenFileTable> tableFor(const std::string& fsRoot);
    // The registry every device of this process is opened with.
    static OpenFileRegistry& processWide();

private:
    std::mutex mutex_;
    std::map<std::string, std::weak_ptr<OpenFileTable>> tables_;
};

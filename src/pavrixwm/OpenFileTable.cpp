#include "pavrixwm/OpenFileTable.h"

#include <unistd.h>

bool OpenFileTable::Locked::isOpen(const HostInfo& info) const
{
    for (const auto& [handle, file] : table_.files_)
        if (file.device == info.device && file.inode == info.inode)
            return true;
    return false;
}

// An open must allow what earlier handles do, and earlier handles must allow what
// it does.
bool OpenFileTable::Locked::conflicts(const HostInfo& info, DWORD access, DWORD sharing) const
{
    // A handle that neither reads nor writes only queries the file and takes part
    // in no sharing check, either way.
    constexpr DWORD kData = GENERIC_READ | GENERIC_WRITE;
    if (!(access & kData))
        return false;
    for (const auto& [handle, file] : table_.files_) {
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

OpenFile* OpenFileTable::Locked::find(SessionId owner, HANDLE handle)
{
    auto it = table_.files_.find(handle);
    return it == table_.files_.end() || it->second.owner != owner ? nullptr : &it->second;
}

HANDLE OpenFileTable::Locked::add(const OpenFile& file)
{
    HANDLE handle;
    do {
        handle = table_.nextHandle_;
        table_.nextHandle_ = handle >= INVALID_HANDLE_VALUE - 8 ? kFirstHandle : handle + 4;
    } while (table_.files_.count(handle));
    table_.files_[handle] = file;
    return handle;
}

void OpenFileTable::Locked::close(HANDLE handle)
{
    auto it = table_.files_.find(handle);
    if (it == table_.files_.end())
        return;
    ::close(it->second.fd);
    table_.files_.erase(it);
}

SessionId OpenFileTable::newSession()
{
    std::lock_guard lock(mutex_);
    return SessionId{nextSession_++};
}

void OpenFileTable::closeAll(SessionId owner)
{
    std::lock_guard lock(mutex_);
    for (auto it = files_.begin(); it != files_.end();) {
        if (it->second.owner == owner) {
            ::close(it->second.fd);
            it = files_.erase(it);
        } else {
            ++it;
        }
    }
}

std::shared_ptr<OpenFileTable> OpenFileRegistry::tableFor(const std::string& fsRoot)
{
    std::lock_guard lock(mutex_);
    auto& slot = tables_[fsRoot];
    auto shared = slot.lock();
    if (!shared) {
        shared = std::make_shared<OpenFileTable>();
        slot = shared;
    }
    return shared;
}

OpenFileRegistry& OpenFileRegistry::processWide()
{
    static OpenFileRegistry registry;
    return registry;
}

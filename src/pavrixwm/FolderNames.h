#pragma once

// The names in host folders of the emulated device: a scan of one folder, and
// an index of the folders where a name was missed.

#include "pavrixwm/DeviceNames.h"
#include "pavrixwm/HostInfo.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <unordered_map>
#include <vector>

// Calls `each` with the name and type (a d_type) of every entry of a folder but
// "." and "..", and the folder's descriptor, straight from getdents64:
// opendir's fstat and heap buffer would come on top of every scan. False when
// the folder does not open (errno says why).
template <class Each>
bool ForEachName(const std::string& folder, Each&& each)
{
    int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    alignas(struct dirent64) char buffer[16384];
    for (ssize_t got; (got = ::getdents64(fd, buffer, sizeof buffer)) > 0;) {
        for (ssize_t at = 0; at < got;) {
            const auto* entry = reinterpret_cast<const struct dirent64*>(buffer + at);
            at += entry->d_reclen;
            std::string_view entryName(entry->d_name);
            if (entryName != "." && entryName != "..")
                each(entryName, entry->d_type, fd);
        }
    }
    ::close(fd);
    return true;
}

// Which names a folder holds, by their folded form. A name asked for in another
// letter case than the host spells it, and every name an upload creates, misses
// the host's own lookup; without the index each miss scans the whole folder,
// three times for each new file. The index follows the kernel's change notices
// for each folder it holds, so it is exact whoever changes the folder; a
// folder's times are not trusted instead, as two changes close together may
// leave them the same.
class FolderNameIndex {
public:
    FolderNameIndex();
    ~FolderNameIndex();
    FolderNameIndex(const FolderNameIndex&) = delete;
    FolderNameIndex& operator=(const FolderNameIndex&) = delete;

    // The entry of the canonical folder `folder` whose folded name is `key` (the
    // first in device order when there are several), or none. False when the
    // index cannot answer (no change notices, a folder too large or gone): then
    // scan. `now` is what the caller has just found at `folder`, when it has
    // looked; otherwise the folder is looked at here.
    bool find(const std::string& folder, const HostInfo* now, const DeviceNameKey& key,
              std::optional<std::string>& match);

private:
    struct Folder {
        std::string path;
        dev_t device = 0;
        ino_t inode = 0;
        std::unordered_map<DeviceNameKey, std::vector<std::string>> names;
        uint64_t lastUse = 0;
    };
    // Applies every notice the kernel has queued.
    void applyNotices();
    Folder* take(const std::string& folder, dev_t device, ino_t inode);
    void drop(int watch);

    int notices_ = -1;
    bool triedNotices_ = false;
    std::unordered_map<int, Folder> folders_; // by watch
    uint64_t uses_ = 0;
};

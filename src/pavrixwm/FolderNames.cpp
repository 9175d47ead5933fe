#include "pavrixwm/FolderNames.h"

#include "pavrixwm/ChangeNotices.h"
#include "pavrixwm/HostInfo.h"

#include <sys/inotify.h>

#include <algorithm>

namespace {
// Few folders are worked in at a time. A name held costs about 130 bytes, so the
// index stays near 5 MiB at most; a larger folder is scanned on each miss instead.
constexpr size_t kMostFolders = 4;
constexpr size_t kMostNames = 10000;
constexpr uint32_t kNotices =
    IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
} // namespace

FolderNameIndex::FolderNameIndex() = default;

FolderNameIndex::~FolderNameIndex()
{
    if (notices_ >= 0)
        ::close(notices_);
}

bool FolderNameIndex::find(const std::string& folder, const HostInfo* now, const DeviceNameKey& key,
                           std::optional<std::string>& match)
{
    // Made at the first miss: a device that never misses a name holds no notices.
    if (notices_ < 0 && !triedNotices_) {
        triedNotices_ = true;
        notices_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    }
    if (notices_ < 0)
        return false;
    applyNotices();
    std::optional<HostInfo> looked;
    if (!now && (looked = Inspect(folder)))
        now = &*looked;
    if (!now || !now->isDirectory)
        return false;
    Folder* held = nullptr;
    for (auto& [watch, entry] : folders_) {
        if (entry.path != folder)
            continue;
        // Another folder now at this path (the one held was moved away with its
        // parent).
        if (entry.device != now->device || entry.inode != now->inode) {
            drop(watch);
            break;
        }
        held = &entry;
        break;
    }
    if (!held && !(held = take(folder, now->device, now->inode)))
        return false;
    held->lastUse = ++uses_;
    match.reset();
    auto found = held->names.find(key);
    if (found != held->names.end())
        for (const auto& name : found->second)
            if (!match || DeviceNameLess(name, *match))
                match = name;
    return true;
}

FolderNameIndex::Folder* FolderNameIndex::take(const std::string& folder, dev_t device, ino_t inode)
{
    if (folders_.size() >= kMostFolders) {
        auto oldest = std::min_element(folders_.begin(), folders_.end(), [](const auto& a, const auto& b) {
            return a.second.lastUse < b.second.lastUse;
        });
        drop(oldest->first);
    }
    // Watched before it is read: a change during the scan arrives as a notice.
    int watch = ::inotify_add_watch(notices_, folder.c_str(), kNotices);
    if (watch < 0)
        return nullptr;
    folders_.erase(watch); // the same folder held under another path
    Folder entry{folder, device, inode, {}, 0};
    size_t count = 0;
    bool listed = ForEachName(folder, [&](std::string_view name, unsigned char, int) {
        if (++count <= kMostNames)
            entry.names[DeviceNameSortKey(std::string(name))].emplace_back(name);
    });
    if (!listed || count > kMostNames) {
        ::inotify_rm_watch(notices_, watch);
        return nullptr;
    }
    return &(folders_[watch] = std::move(entry));
}

void FolderNameIndex::drop(int watch)
{
    if (folders_.erase(watch))
        ::inotify_rm_watch(notices_, watch);
}

void FolderNameIndex::applyNotices()
{
    auto dropAll = [this] {
        while (!folders_.empty())
            drop(folders_.begin()->first);
    };
    bool intact = ForEachNotice(notices_, [&](const struct inotify_event& notice) {
        if (notice.mask & IN_Q_OVERFLOW) {
            dropAll(); // changes were lost: nothing held can be trusted
            return;
        }
        auto held = folders_.find(notice.wd);
        if (held == folders_.end())
            return;
        if (notice.mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT)) {
            drop(notice.wd);
            return;
        }
        if (notice.len == 0)
            return;
        std::string name(notice.name);
        auto& names = held->second.names;
        DeviceNameKey key = DeviceNameSortKey(name);
        auto same = names.find(key);
        if (notice.mask & (IN_CREATE | IN_MOVED_TO)) {
            auto& list = same != names.end() ? same->second : names[std::move(key)];
            if (std::find(list.begin(), list.end(), name) == list.end())
                list.push_back(std::move(name));
        } else if (same != names.end()) {
            auto& list = same->second;
            list.erase(std::remove(list.begin(), list.end(), name), list.end());
            if (list.empty())
                names.erase(same);
        }
    });
    if (!intact)
        dropAll(); // as for lost changes
}

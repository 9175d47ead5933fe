#include "pavrixwm/DeviceSettings.h"

#include "pavrixwm/ChangeNotices.h"
#include "platform/PlistObject.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <cstdlib>

using platform::PlistObject;

namespace {
constexpr uint32_t kNameChanges = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF |
                                  IN_MOVE_SELF | IN_ONLYDIR;
// IN_ATTRIB also tells of the file's last link going (replaced or removed elsewhere).
constexpr uint32_t kContentChanges = IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_DELETE_SELF | IN_MOVE_SELF;
} // namespace

DeviceSettings::DeviceSettings(std::string plistPath) : plistPath_(std::move(plistPath))
{
    // Watched before the first read, so that a change during it is not missed.
    changes_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    std::string folder = plistPath_.substr(0, plistPath_.find_last_of('/'));
    if (changes_ >= 0 && (folderWatch_ = ::inotify_add_watch(changes_, folder.c_str(), kNameChanges)) < 0)
        stopWatching();
    watchFile();
    read(true);
}

DeviceSettings::~DeviceSettings() { stopWatching(); }

void DeviceSettings::stopWatching()
{
    if (changes_ >= 0)
        ::close(changes_);
    changes_ = -1;
}

void DeviceSettings::watchFile()
{
    if (changes_ < 0)
        return;
    // A link's target may be made, replaced or moved where no watch sees it.
    struct stat st {};
    if (::lstat(plistPath_.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        stopWatching();
        return;
    }
    int watch = ::inotify_add_watch(changes_, plistPath_.c_str(), kContentChanges);
    if (fileWatch_ >= 0 && fileWatch_ != watch)
        ::inotify_rm_watch(changes_, fileWatch_);
    fileWatch_ = watch;
}

bool DeviceSettings::changedSinceLastLook()
{
    if (changes_ < 0)
        return true;
    bool changed = false, folderGone = false;
    bool intact = ForEachNotice(changes_, [&](const struct inotify_event& notice) {
        changed = true;
        if (notice.wd == folderWatch_ && (notice.mask & (IN_IGNORED | IN_MOVE_SELF | IN_DELETE_SELF)))
            folderGone = true;
    });
    if (!intact || folderGone) {
        // Names made in the folder would go unseen: look at the file on every call.
        stopWatching();
        return true;
    }
    // The name may now stand for another file, or for one where there was none.
    if (changed)
        watchFile();
    return changed;
}

void DeviceSettings::reload()
{
    if (changes_ < 0)
        read(false);
    else if (changedSinceLastLook())
        read(true);
}

void DeviceSettings::read(bool toldOfChange)
{
    struct stat st {};
    bool present = ::stat(plistPath_.c_str(), &st) == 0;
    // Without a notice, only what the file looks like tells of a change; a rewrite of
    // the same size within one tick of the file clock goes unseen.
    if (!toldOfChange && present && st.st_mtim.tv_sec == readTime_.tv_sec &&
        st.st_mtim.tv_nsec == readTime_.tv_nsec && st.st_ino == readInode_ && st.st_size == readSize_)
        return;
    if (!toldOfChange && !present && readSize_ == -1 && readInode_ == 0 && readTime_.tv_sec == 0)
        return;
    values_ = Values{};
    readTime_ = present ? st.st_mtim : timespec{};
    readInode_ = present ? st.st_ino : 0;
    readSize_ = present ? st.st_size : -1;
    auto plist = present ? PlistObject::loadDictionary(plistPath_) : std::nullopt;
    if (!plist)
        return;
    if (auto value = plist->getString("DeviceClass"))
        values_.deviceClass = *value;
    values_.deviceName = plist->getString("DeviceName");
    values_.storeSize = plist->getInteger("StoreSize");
    values_.storeFree = plist->getInteger("StoreFree");
    values_.cardsTotal = plist->getInteger("CardsTotal").value_or(0);
    values_.cardsFree = plist->getInteger("CardsFree").value_or(0);
    values_.latencyMicroseconds = plist->getInteger("LatencyMicroseconds").value_or(0);
    values_.bytesPerSecond = plist->getInteger("BytesPerSecond").value_or(0);
    if (auto processes = plist->get("Processes")) {
        for (const auto& key : processes->keys()) {
            char* end = nullptr;
            unsigned long id = std::strtoul(key.c_str(), &end, 10);
            auto code = processes->getInteger(key);
            if (end && *end == '\0' && !key.empty() && code)
                values_.processes[static_cast<uint32_t>(id)] = static_cast<uint32_t>(*code);
        }
    }
}

std::optional<uint32_t> DeviceSettings::exitCode(uint32_t process) const
{
    auto it = values_.processes.find(process);
    if (it == values_.processes.end())
        return std::nullopt;
    return it->second;
}

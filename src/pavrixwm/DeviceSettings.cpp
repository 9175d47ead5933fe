#include "pavrixwm/DeviceSettings.h"

#include "platform/PlistObject.h"

#include <cstdlib>

using platform::PlistObject;

DeviceSettings::DeviceSettings(std::string plistPath) : plistPath_(std::move(plistPath)) { reload(); }

void DeviceSettings::reload()
{
    struct stat st {};
    bool present = ::stat(plistPath_.c_str(), &st) == 0;
    if (present && st.st_mtim.tv_sec == readTime_.tv_sec && st.st_mtim.tv_nsec == readTime_.tv_nsec &&
        st.st_ino == readInode_ && st.st_size == readSize_)
        return;
    if (!present && readSize_ == -1 && readInode_ == 0 && readTime_.tv_sec == 0)
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

#pragma once

// The settings of an emulated device, from the optional device.plist of its
// directory: "DeviceClass", "DeviceName", "StoreSize", "StoreFree", "CardsTotal",
// "CardsFree", "LatencyMicroseconds", "BytesPerSecond" and "Processes" (decimal process id -> exit
// code). A test or tool may change the file while the device is in use, so it is
// looked at again on every call that opens, finds or changes something (calls on
// an open handle keep what was last read) and read again only when it changed.

#include <sys/stat.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>

class DeviceSettings {
public:
    explicit DeviceSettings(std::string plistPath);

    // Reads the file again when it was made, changed or removed since last time.
    void reload();

    const std::string& deviceClass() const { return values_.deviceClass; }
    const std::optional<std::string>& deviceName() const { return values_.deviceName; }
    // None: the device reports the host's figure.
    std::optional<int64_t> storeSize() const { return values_.storeSize; }
    std::optional<int64_t> storeFree() const { return values_.storeFree; }
    int64_t cardsTotal() const { return values_.cardsTotal; }
    int64_t cardsFree() const { return values_.cardsFree; }
    int64_t latencyMicroseconds() const { return values_.latencyMicroseconds; }
    // The link's speed for file contents read or written; 0: unlimited.
    int64_t bytesPerSecond() const { return values_.bytesPerSecond; }
    // The exit code of a process the device knows; none for an unknown one.
    std::optional<uint32_t> exitCode(uint32_t process) const;

private:
    struct Values {
        std::string deviceClass = "PocketPC";
        std::optional<std::string> deviceName;
        std::optional<int64_t> storeSize, storeFree;
        int64_t cardsTotal = 0, cardsFree = 0;
        int64_t latencyMicroseconds = 0;
        int64_t bytesPerSecond = 0;
        std::map<uint32_t, uint32_t> processes;
    };

    std::string plistPath_;
    Values values_;
    // What the file looked like when last read: a change to any of these reads it again.
    struct timespec readTime_ {};
    ino_t readInode_ = 0;
    off_t readSize_ = -1;
};

#pragma once

// The settings of an emulated device, from the optional device.plist of its
// directory: "DeviceClass", "DeviceName", "StoreSize", "StoreFree", "CardsTotal",
// "CardsFree", "LatencyMicroseconds", "BytesPerSecond" and "Processes" (decimal process id -> exit
// code). A test or tool may change the file while the device is in use, so every
// call that opens, finds or changes something sees the current file (calls on an
// open handle keep what was last read); it is read again only when it changed.

#include <sys/stat.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>

class DeviceSettings {
public:
    explicit DeviceSettings(std::string plistPath);
    ~DeviceSettings();
    DeviceSettings(const DeviceSettings&) = delete;
    DeviceSettings& operator=(const DeviceSettings&) = delete;

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

    bool changedSinceLastLook();
    void watchFile();
    void stopWatching();
    void read(bool toldOfChange);

    std::string plistPath_;
    Values values_;
    // The kernel tells of changes: a watch on the folder for the name made, replaced
    // or removed, one on the file for writes through any of its names. A call then
    // costs a read that finds nothing rather than a look up the path. Without
    // watches (-1) the file is looked at on every call.
    int changes_ = -1;
    int folderWatch_ = -1, fileWatch_ = -1;
    // What the file looked like when last read: a change to any of these reads it again.
    struct timespec readTime_ {};
    ino_t readInode_ = 0;
    off_t readSize_ = -1;
};

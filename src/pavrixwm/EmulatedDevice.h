#pragma once

// A Windows CE device emulated over a host directory:
//   fs/             the device's file system (\ is fs/ itself); names are matched
//                   without regard to letter case, and nothing outside fs/ is
//                   reachable: "..", or a symlink leading out of fs/, does not exist;
//   device.plist    optional settings: "DeviceClass", "StoreSize", "StoreFree",
//                   "CardsTotal", "CardsFree", "LatencyMicroseconds" (slept on every
//                   call), "Processes" (decimal process id -> exit code);
//   registry.plist  the device registry, made on the first registry write;
//   clock.plist     the device clock's offset from the host's, once it has been set;
//   library.plist   what the device-side library "pavrix" was asked to do.
// A name beginning with "." is reported FILE_ATTRIBUTE_HIDDEN, as such names are
// hidden on the host. A file on which another process holds an exclusive flock(2)
// is held open by another program of the device: it cannot be opened, deleted or
// moved (ERROR_SHARING_VIOLATION). Handles opened through the device follow the
// Win32 sharing rules among themselves, across every session of this process that
// has the same device directory open; a handle is valid only in its own session.

#include "pavrixwm/DeviceBackend.h"
#include "pavrixwm/DeviceFileHandles.h"
#include "pavrixwm/DeviceFileTree.h"
#include "pavrixwm/DeviceSettings.h"
#include "pavrixwm/EmulatedDeviceLibrary.h"
#include "pavrixwm/EmulatedRegistry.h"
#include "pavrixwm/OpenFileTable.h"

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>

class EmulatedDevice : public DeviceBackend {
public:
    // The device in `directory`; null when it has no fs/ folder. Its handles share
    // the sharing rules with every other device of `openFiles` over the same folder.
    static std::shared_ptr<EmulatedDevice> open(const std::string& directory,
                                                OpenFileRegistry& openFiles = OpenFileRegistry::processWide());

    ~EmulatedDevice() override;
    const std::string& directory() const { return directory_; }

    std::map<std::string, std::string> description() override;
    BOOL CeFindAllFiles(const std::string& path, DWORD flags, std::vector<RapiFindData>& findData) override;
    HANDLE CeCreateFile(const std::string& path, DWORD desiredAccess, DWORD sharingMode, DWORD creationDisposition,
                        DWORD flagsAndAttributes) override;
    BOOL CeReadFile(HANDLE handle, uint8_t* buffer, DWORD bytesToRead, DWORD& bytesRead) override;
    BOOL CeWriteFile(HANDLE handle, const uint8_t* buffer, DWORD bytesToWrite, DWORD& bytesWritten) override;
    DWORD CeSetFilePointer(HANDLE handle, LONG distanceToMove, LONG* distanceToMoveHigh, DWORD moveMethod) override;
    BOOL CeCloseHandle(HANDLE handle) override;
    BOOL CeSetFileTime(HANDLE handle, const FILETIME* creationTime, const FILETIME* lastAccessTime,
                       const FILETIME* lastWriteTime) override;
    DWORD CeGetLastError() override;
    BOOL CeDeleteFile(const std::string& path) override;
    BOOL CeRemoveDirectory(const std::string& path) override;
    BOOL CeCreateDirectory(const std::string& path) override;
    BOOL CeMoveFile(const std::string& existingFileName, const std::string& newFileName) override;
    BOOL CeCopyFile(const std::string& existingFileName, const std::string& newFileName, BOOL failIfExists) override;
    BOOL CeGetStoreInformation(STORE_INFORMATION& storeInformation) override;
    BOOL GetSpaceOnCards(uint32_t words[5]) override;
    LONG CeRegOpenKeyEx(HKEY root, const std::string& subKey, HKEY& result) override;
    LONG CeRegCreateKeyEx(HKEY root, const std::string& subKey, const std::optional<std::string>& keyClass,
                          HKEY& result, DWORD* disposition) override;
    LONG CeRegQueryValueEx(HKEY key, const std::string& valueName, std::optional<RegistryValue>& value) override;
    LONG CeRegSetValueEx(HKEY key, const std::string& valueName, const RegistryValue& value) override;
    LONG CeRegCloseKey(HKEY key) override;
    int32_t CeRapiInvoke(const std::string& dll, const std::string& functionName, DWORD inputCount,
                         const uint8_t* input, DWORD* outputCount, uint8_t** output) override;
    void CeRapiFreeBuffer(uint8_t* buffer) override;

private:
    class Call;

    EmulatedDevice(std::string directory, const std::string& fsRoot, OpenFileRegistry& openFiles);
    // FALSE with the code kept for CeGetLastError, or TRUE for 0.
    BOOL result(DWORD error);
    // The time the link takes to carry `bytes` of file contents (BytesPerSecond).
    void payForBytes(uint64_t bytes) const;

    std::string directory_;
    std::mutex mutex_; // one call at a time; every member below is guarded by it
    DeviceSettings settings_;
    DeviceFileTree tree_;
    DeviceFileHandles files_;
    EmulatedRegistry registry_;
    EmulatedDeviceLibrary library_;
    std::set<uint8_t*> replyBlocks_;
    DWORD lastError_ = 0;
};

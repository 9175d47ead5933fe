#pragma once

// A device session: one connection to the attached device, with the RAPI calls as
// members of the same names (the contracts are DeviceBackend's). Outputs are
// cleared before each call, so a failing call never leaves stale entries, counts
// or reply blocks behind. With no device attached, finds return nothing and every
// other call fails with ERROR_DEVICE_NOT_CONNECTED (NoDevice). When
// PAVRIX_DEVICE_TRACE names a file, every call is traced to it (TracingDevice).

#include "pavrixwm/DeviceBackend.h"
#include "pavrixwm/RapiBase.h"
#include "pavrixwm/RapiFindData.h"
#include "pavrixwm/RegistryValue.h"
#include "pavrixwm/TracingDevice.h"
#include "pavrixwm/WinCE.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class Rapi : public RapiBase {
public:
    // Opens the handheld on the link when PAVRIX_LINK_ADDRESS is set (LinkDevice),
    // else the device named by PAVRIX_DEVICE; no device when it is unset, missing,
    // or has no fs/ folder.
    Rapi();
    // A session over the given device (none when null).
    explicit Rapi(std::shared_ptr<DeviceBackend> device);
    ~Rapi() override;
    Rapi(const Rapi&) = delete;
    Rapi& operator=(const Rapi&) = delete;

    // The device connection; null when no device is attached.
    const std::shared_ptr<DeviceBackend>& deviceConnection() const { return device_; }

    // The trace file (initially PAVRIX_DEVICE_TRACE); none stops tracing.
    void setTracePath(std::optional<std::string> path) { backend_.setTracePath(std::move(path)); }

    BOOL CeFindAllFiles(const std::string& path, DWORD flags, std::vector<RapiFindData>& findData);
    HANDLE CeCreateFile(const std::string& path, DWORD desiredAccess, DWORD sharingMode, DWORD creationDisposition,
                        DWORD flagsAndAttributes)
    {
        return backend_.CeCreateFile(path, desiredAccess, sharingMode, creationDisposition, flagsAndAttributes);
    }
    BOOL CeReadFile(HANDLE handle, uint8_t* buffer, DWORD bytesToRead, DWORD& bytesRead);
    BOOL CeWriteFile(HANDLE handle, const uint8_t* buffer, DWORD bytesToWrite, DWORD& bytesWritten);
    // Writes the whole data object (bytesWritten tells how much the device took).
    BOOL CeWriteFile(HANDLE handle, const std::vector<uint8_t>& data, DWORD& bytesWritten);
    DWORD CeSetFilePointer(HANDLE handle, LONG distanceToMove, LONG* distanceToMoveHigh, DWORD moveMethod)
    {
        return backend_.CeSetFilePointer(handle, distanceToMove, distanceToMoveHigh, moveMethod);
    }
    BOOL CeCloseHandle(HANDLE handle) { return backend_.CeCloseHandle(handle); }
    BOOL CeSetFileTime(HANDLE handle, const FILETIME* creationTime, const FILETIME* lastAccessTime,
                       const FILETIME* lastWriteTime)
    {
        return backend_.CeSetFileTime(handle, creationTime, lastAccessTime, lastWriteTime);
    }
    DWORD CeGetLastError() { return backend_.CeGetLastError(); }

    BOOL CeDeleteFile(const std::string& path) { return backend_.CeDeleteFile(path); }
    BOOL CeRemoveDirectory(const std::string& path) { return backend_.CeRemoveDirectory(path); }
    BOOL CeCreateDirectory(const std::string& path) { return backend_.CeCreateDirectory(path); }
    BOOL CeMoveFile(const std::string& existingFileName, const std::string& newFileName)
    {
        return backend_.CeMoveFile(existingFileName, newFileName);
    }
    BOOL CeCopyFile(const std::string& existingFileName, const std::string& newFileName, BOOL failIfExists)
    {
        return backend_.CeCopyFile(existingFileName, newFileName, failIfExists);
    }

    BOOL CeGetStoreInformation(STORE_INFORMATION& storeInformation);
    BOOL GetSpaceOnCards(uint32_t words[5]);

    LONG CeRegOpenKeyEx(HKEY root, const std::string& subKey, HKEY& result)
    {
        return backend_.CeRegOpenKeyEx(root, subKey, result);
    }
    LONG CeRegCreateKeyEx(HKEY root, const std::string& subKey, const std::optional<std::string>& keyClass,
                          HKEY& result, DWORD* disposition)
    {
        return backend_.CeRegCreateKeyEx(root, subKey, keyClass, result, disposition);
    }
    LONG CeRegQueryValueEx(HKEY key, const std::string& valueName, std::optional<RegistryValue>& value)
    {
        return backend_.CeRegQueryValueEx(key, valueName, value);
    }
    LONG CeRegSetValueEx(HKEY key, const std::string& valueName, const RegistryValue& value)
    {
        return backend_.CeRegSetValueEx(key, valueName, value);
    }
    LONG CeRegCloseKey(HKEY key) { return backend_.CeRegCloseKey(key); }

    // The reply block, when one is asked for (both out pointers given), belongs to the
    // session until it comes back through CeRapiFreeBuffer.
    int32_t CeRapiInvoke(const std::string& dll, const std::string& functionName, DWORD inputCount,
                         const uint8_t* input, DWORD* outputCount, uint8_t** output);
    void CeRapiFreeBuffer(uint8_t* buffer);

private:
    std::shared_ptr<DeviceBackend> device_;
    // The calls go here: the trace over the device, or over NoDevice when there is none.
    TracingDevice backend_;
};

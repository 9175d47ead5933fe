#pragma once

// A device that hands every call to another device. Layers over a device (the
// call trace, the missing device's stand-in, test doubles) derive from it and
// override only the calls they change.

#include "pavrixwm/DeviceBackend.h"

#include <memory>
#include <utility>

class DeviceBackendWrapper : public DeviceBackend {
public:
    explicit DeviceBackendWrapper(std::shared_ptr<DeviceBackend> target) : target_(std::move(target)) {}

    const std::shared_ptr<DeviceBackend>& target() const { return target_; }

    std::map<std::string, std::string> description() override { return target_->description(); }
    BOOL CeFindAllFiles(const std::string& path, DWORD flags, std::vector<RapiFindData>& findData) override
    {
        return target_->CeFindAllFiles(path, flags, findData);
    }
    HANDLE CeCreateFile(const std::string& path, DWORD desiredAccess, DWORD sharingMode, DWORD creationDisposition,
                        DWORD flagsAndAttributes) override
    {
        return target_->CeCreateFile(path, desiredAccess, sharingMode, creationDisposition, flagsAndAttributes);
    }
    BOOL CeReadFile(HANDLE handle, uint8_t* buffer, DWORD bytesToRead, DWORD& bytesRead) override
    {
        return target_->CeReadFile(handle, buffer, bytesToRead, bytesRead);
    }
    BOOL CeWriteFile(HANDLE handle, const uint8_t* buffer, DWORD bytesToWrite, DWORD& bytesWritten) override
    {
        return target_->CeWriteFile(handle, buffer, bytesToWrite, bytesWritten);
    }
    DWORD CeSetFilePointer(HANDLE handle, LONG distanceToMove, LONG* distanceToMoveHigh, DWORD moveMethod) override
    {
        return target_->CeSetFilePointer(handle, distanceToMove, distanceToMoveHigh, moveMethod);
    }
    BOOL CeCloseHandle(HANDLE handle) override { return target_->CeCloseHandle(handle); }
    BOOL CeSetFileTime(HANDLE handle, const FILETIME* creationTime, const FILETIME* lastAccessTime,
                       const FILETIME* lastWriteTime) override
    {
        return target_->CeSetFileTime(handle, creationTime, lastAccessTime, lastWriteTime);
    }
    DWORD CeGetLastError() override { return target_->CeGetLastError(); }

    BOOL CeDeleteFile(const std::string& path) override { return target_->CeDeleteFile(path); }
    BOOL CeRemoveDirectory(const std::string& path) override { return target_->CeRemoveDirectory(path); }
    BOOL CeCreateDirectory(const std::string& path) override { return target_->CeCreateDirectory(path); }
    BOOL CeMoveFile(const std::string& existingFileName, const std::string& newFileName) override
    {
        return target_->CeMoveFile(existingFileName, newFileName);
    }
    BOOL CeCopyFile(const std::string& existingFileName, const std::string& newFileName, BOOL failIfExists) override
    {
        return target_->CeCopyFile(existingFileName, newFileName, failIfExists);
    }

    BOOL CeGetStoreInformation(STORE_INFORMATION& storeInformation) override
    {
        return target_->CeGetStoreInformation(storeInformation);
    }
    BOOL GetSpaceOnCards(uint32_t words[5]) override { return target_->GetSpaceOnCards(words); }

    LONG CeRegOpenKeyEx(HKEY root, const std::string& subKey, HKEY& result) override
    {
        return target_->CeRegOpenKeyEx(root, subKey, result);
    }
    LONG CeRegCreateKeyEx(HKEY root, const std::string& subKey, const std::optional<std::string>& keyClass,
                          HKEY& result, DWORD* disposition) override
    {
        return target_->CeRegCreateKeyEx(root, subKey, keyClass, result, disposition);
    }
    LONG CeRegQueryValueEx(HKEY key, const std::string& valueName, std::optional<RegistryValue>& value) override
    {
        return target_->CeRegQueryValueEx(key, valueName, value);
    }
    LONG CeRegSetValueEx(HKEY key, const std::string& valueName, const RegistryValue& value) override
    {
        return target_->CeRegSetValueEx(key, valueName, value);
    }
    LONG CeRegCloseKey(HKEY key) override { return target_->CeRegCloseKey(key); }

    int32_t CeRapiInvoke(const std::string& dll, const std::string& functionName, DWORD inputCount,
                         const uint8_t* input, DWORD* outputCount, uint8_t** output) override
    {
        return target_->CeRapiInvoke(dll, functionName, inputCount, input, outputCount, output);
    }
    void CeRapiFreeBuffer(uint8_t* buffer) override { target_->CeRapiFreeBuffer(buffer); }

private:
    std::shared_ptr<DeviceBackend> target_;
};

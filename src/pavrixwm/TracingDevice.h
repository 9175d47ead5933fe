#pragma once

// Writes one line per device call to a trace file before the call returns: the
// call's name and, for a call that names device paths, a tab before each path as
// given. Handing a reply block back is no device call and is not traced. With no
// trace file the calls just pass through.

#include "pavrixwm/DeviceBackendWrapper.h"

#include <initializer_list>
#include <string_view>

class TracingDevice : public DeviceBackendWrapper {
public:
    TracingDevice(std::shared_ptr<DeviceBackend> target, std::optional<std::string> tracePath);

    // None stops tracing.
    void setTracePath(std::optional<std::string> path) { tracePath_ = std::move(path); }

    BOOL CeFindAllFiles(const std::string& path, DWORD flags, std::vector<RapiFindData>& findData) override
    {
        return traced("CeFindAllFiles", {path}, [&] { return Base::CeFindAllFiles(path, flags, findData); });
    }
    HANDLE CeCreateFile(const std::string& path, DWORD desiredAccess, DWORD sharingMode, DWORD creationDisposition,
                        DWORD flagsAndAttributes) override
    {
        return traced("CeCreateFile", {path}, [&] {
            return Base::CeCreateFile(path, desiredAccess, sharingMode, creationDisposition, flagsAndAttributes);
        });
    }
    BOOL CeReadFile(HANDLE handle, uint8_t* buffer, DWORD bytesToRead, DWORD& bytesRead) override
    {
        return traced("CeReadFile", {}, [&] { return Base::CeReadFile(handle, buffer, bytesToRead, bytesRead); });
    }
    BOOL CeWriteFile(HANDLE handle, const uint8_t* buffer, DWORD bytesToWrite, DWORD& bytesWritten) override
    {
        return traced("CeWriteFile", {}, [&] { return Base::CeWriteFile(handle, buffer, bytesToWrite, bytesWritten); });
    }
    DWORD CeSetFilePointer(HANDLE handle, LONG distanceToMove, LONG* distanceToMoveHigh, DWORD moveMethod) override
    {
        return traced("CeSetFilePointer", {},
                      [&] { return Base::CeSetFilePointer(handle, distanceToMove, distanceToMoveHigh, moveMethod); });
    }
    BOOL CeCloseHandle(HANDLE handle) override
    {
        return traced("CeCloseHandle", {}, [&] { return Base::CeCloseHandle(handle); });
    }
    BOOL CeSetFileTime(HANDLE handle, const FILETIME* creationTime, const FILETIME* lastAccessTime,
                       const FILETIME* lastWriteTime) override
    {
        return traced("CeSetFileTime", {},
                      [&] { return Base::CeSetFileTime(handle, creationTime, lastAccessTime, lastWriteTime); });
    }
    DWORD CeGetLastError() override { return traced("CeGetLastError", {}, [&] { return Base::CeGetLastError(); }); }

    BOOL CeDeleteFile(const std::string& path) override
    {
        return traced("CeDeleteFile", {path}, [&] { return Base::CeDeleteFile(path); });
    }
    BOOL CeRemoveDirectory(const std::string& path) override
    {
        return traced("CeRemoveDirectory", {path}, [&] { return Base::CeRemoveDirectory(path); });
    }
    BOOL CeCreateDirectory(const std::string& path) override
    {
        return traced("CeCreateDirectory", {path}, [&] { return Base::CeCreateDirectory(path); });
    }
    BOOL CeMoveFile(const std::string& existingFileName, const std::string& newFileName) override
    {
        return traced("CeMoveFile", {existingFileName, newFileName},
                      [&] { return Base::CeMoveFile(existingFileName, newFileName); });
    }
    BOOL CeCopyFile(const std::string& existingFileName, const std::string& newFileName, BOOL failIfExists) override
    {
        return traced("CeCopyFile", {existingFileName, newFileName},
                      [&] { return Base::CeCopyFile(existingFileName, newFileName, failIfExists); });
    }

    BOOL CeGetStoreInformation(STORE_INFORMATION& storeInformation) override
    {
        return traced("CeGetStoreInformation", {}, [&] { return Base::CeGetStoreInformation(storeInformation); });
    }
    BOOL GetSpaceOnCards(uint32_t words[5]) override
    {
        return traced("GetSpaceOnCards", {}, [&] { return Base::GetSpaceOnCards(words); });
    }

    LONG CeRegOpenKeyEx(HKEY root, const std::string& subKey, HKEY& result) override
    {
        return traced("CeRegOpenKeyEx", {}, [&] { return Base::CeRegOpenKeyEx(root, subKey, result); });
    }
    LONG CeRegCreateKeyEx(HKEY root, const std::string& subKey, const std::optional<std::string>& keyClass,
                          HKEY& result, DWORD* disposition) override
    {
        return traced("CeRegCreateKeyEx", {},
                      [&] { return Base::CeRegCreateKeyEx(root, subKey, keyClass, result, disposition); });
    }
    LONG CeRegQueryValueEx(HKEY key, const std::string& valueName, std::optional<RegistryValue>& value) override
    {
        return traced("CeRegQueryValueEx", {}, [&] { return Base::CeRegQueryValueEx(key, valueName, value); });
    }
    LONG CeRegSetValueEx(HKEY key, const std::string& valueName, const RegistryValue& value) override
    {
        return traced("CeRegSetValueEx", {}, [&] { return Base::CeRegSetValueEx(key, valueName, value); });
    }
    LONG CeRegCloseKey(HKEY key) override
    {
        return traced("CeRegCloseKey", {}, [&] { return Base::CeRegCloseKey(key); });
    }

    int32_t CeRapiInvoke(const std::string& dll, const std::string& functionName, DWORD inputCount,
                         const uint8_t* input, DWORD* outputCount, uint8_t** output) override
    {
        return traced("CeRapiInvoke", {},
                      [&] { return Base::CeRapiInvoke(dll, functionName, inputCount, input, outputCount, output); });
    }

private:
    using Base = DeviceBackendWrapper;

    // Runs the call, then writes its line.
    template <typename Call>
    auto traced(const char* name, std::initializer_list<std::string_view> paths, Call&& call) -> decltype(call())
    {
        auto result = call();
        write(name, paths);
        return result;
    }
    void write(const char* name, std::initializer_list<std::string_view> paths) const;

    std::optional<std::string> tracePath_;
};

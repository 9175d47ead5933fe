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

    BOOL CeFindAllFiles(const std::string& path, DWORD flags, std::vector<RapiFindData>& findData) override;
    HANDLE CeCreateFile(const std::string& path, DWORD desiredAccess, DWORD sharingMode, DWORD creationDisposition,
                        DWORD flagsAndAttributes) override;
    BOOL CeReadFile(HANDLE handle, uint8_t* buffer, DWORD bytesToRead, DWORD& bytesRead) override;
    BOOL CeWriteFile(HANDLE handle, const uint8_t* buffer, DWORD bytesToWrite, DWORD& bytesWritten) override;
    DWORD CeSetFilePointer(HANDLE handle, LONG distanceToMove, LONG* distanceToMoveHigh, DWORD moveMethod) override;
    BOOL CeCloseHandle(HANDLE handle) override;
    DWORD CeGetLastError() override;
    BOOL CeDeleteFile(const std::string& path) override;
    BOOL CeRemoveDirectory(const std::string& path) override;
    BOOL CeCreateDirectory(const std::string& path) override;
    BOOL CeMoveFile(const std::string& existingFileName, const std::string& newFileName) override;
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

private:
    // Runs the call, then writes its line.
    template <typename Call>
    auto traced(const char* name, std::initializer_list<std::string_view> paths, Call&& call)
    {
        auto result = call();
        write(name, paths);
        return result;
    }
    void write(const char* name, std::initializer_list<std::string_view> paths) const;

    std::optional<std::string> tracePath_;
};

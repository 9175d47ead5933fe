#include "pavrixwm/TracingDevice.h"

#include <fcntl.h>
#include <unistd.h>

TracingDevice::TracingDevice(std::shared_ptr<DeviceBackend> target, std::optional<std::string> tracePath)
    : DeviceBackendWrapper(std::move(target)), tracePath_(std::move(tracePath))
{
}

void TracingDevice::write(const char* name, std::initializer_list<std::string_view> paths) const
{
    if (!tracePath_)
        return;
    std::string line = name;
    for (const auto& path : paths)
        line.append("\t").append(path);
    line += "\n";
    // Opened per line with O_APPEND so that a reader (or another process tracing
    // into the same file) always sees whole lines, even if the file was replaced.
    int fd = ::open(tracePath_->c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    const char* data = line.data();
    size_t left = line.size();
    while (left > 0) {
        ssize_t n = ::write(fd, data, left);
        if (n <= 0)
            break;
        data += n;
        left -= static_cast<size_t>(n);
    }
    ::close(fd);
}

BOOL TracingDevice::CeFindAllFiles(const std::string& path, DWORD flags, std::vector<RapiFindData>& findData)
{
    return traced("CeFindAllFiles", {path}, [&] { return DeviceBackendWrapper::CeFindAllFiles(path, flags, findData); });
}

HANDLE TracingDevice::CeCreateFile(const std::string& path, DWORD desiredAccess, DWORD sharingMode,
                                   DWORD creationDisposition, DWORD flagsAndAttributes)
{
    return traced("CeCreateFile", {path}, [&] {
        return DeviceBackendWrapper::CeCreateFile(path, desiredAccess, sharingMode, creationDisposition,
                                                  flagsAndAttributes);
    });
}

BOOL TracingDevice::CeReadFile(HANDLE handle, uint8_t* buffer, DWORD bytesToRead, DWORD& bytesRead)
{
    return traced("CeReadFile", {}, [&] { return DeviceBackendWrapper::CeReadFile(handle, buffer, bytesToRead, bytesRead); });
}

BOOL TracingDevice::CeWriteFile(HANDLE handle, const uint8_t* buffer, DWORD bytesToWrite, DWORD& bytesWritten)
{
    return traced("CeWriteFile", {},
                  [&] { return DeviceBackendWrapper::CeWriteFile(handle, buffer, bytesToWrite, bytesWritten); });
}

DWORD TracingDevice::CeSetFilePointer(HANDLE handle, LONG distanceToMove, LONG* distanceToMoveHigh, DWORD moveMethod)
{
    return traced("CeSetFilePointer", {}, [&] {
        return DeviceBackendWrapper::CeSetFilePointer(handle, distanceToMove, distanceToMoveHigh, moveMethod);
    });
}

BOOL TracingDevice::CeCloseHandle(HANDLE handle)
{
    return traced("CeCloseHandle", {}, [&] { return DeviceBackendWrapper::CeCloseHandle(handle); });
}

DWORD TracingDevice::CeGetLastError()
{
    return traced("CeGetLastError", {}, [&] { return DeviceBackendWrapper::CeGetLastError(); });
}

BOOL TracingDevice::CeDeleteFile(const std::string& path)
{
    return traced("CeDeleteFile", {path}, [&] { return DeviceBackendWrapper::CeDeleteFile(path); });
}

BOOL TracingDevice::CeRemoveDirectory(const std::string& path)
{
    return traced("CeRemoveDirectory", {path}, [&] { return DeviceBackendWrapper::CeRemoveDirectory(path); });
}

BOOL TracingDevice::CeCreateDirectory(const std::string& path)
{
    return traced("CeCreateDirectory", {path}, [&] { return DeviceBackendWrapper::CeCreateDirectory(path); });
}

BOOL TracingDevice::CeMoveFile(const std::string& existingFileName, const std::string& newFileName)
{
    return traced("CeMoveFile", {existingFileName, newFileName},
                  [&] { return DeviceBackendWrapper::CeMoveFile(existingFileName, newFileName); });
}

BOOL TracingDevice::CeGetStoreInformation(STORE_INFORMATION& storeInformation)
{
    return traced("CeGetStoreInformation", {},
                  [&] { return DeviceBackendWrapper::CeGetStoreInformation(storeInformation); });
}

BOOL TracingDevice::GetSpaceOnCards(uint32_t words[5])
{
    return traced("GetSpaceOnCards", {}, [&] { return DeviceBackendWrapper::GetSpaceOnCards(words); });
}

LONG TracingDevice::CeRegOpenKeyEx(HKEY root, const std::string& subKey, HKEY& result)
{
    return traced("CeRegOpenKeyEx", {}, [&] { return DeviceBackendWrapper::CeRegOpenKeyEx(root, subKey, result); });
}

LONG TracingDevice::CeRegCreateKeyEx(HKEY root, const std::string& subKey, const std::optional<std::string>& keyClass,
                                     HKEY& result, DWORD* disposition)
{
    return traced("CeRegCreateKeyEx", {}, [&] {
        return DeviceBackendWrapper::CeRegCreateKeyEx(root, subKey, keyClass, result, disposition);
    });
}

LONG TracingDevice::CeRegQueryValueEx(HKEY key, const std::string& valueName, std::optional<RegistryValue>& value)
{
    return traced("CeRegQueryValueEx", {}, [&] { return DeviceBackendWrapper::CeRegQueryValueEx(key, valueName, value); });
}

LONG TracingDevice::CeRegSetValueEx(HKEY key, const std::string& valueName, const RegistryValue& value)
{
    return traced("CeRegSetValueEx", {}, [&] { return DeviceBackendWrapper::CeRegSetValueEx(key, valueName, value); });
}

LONG TracingDevice::CeRegCloseKey(HKEY key)
{
    return traced("CeRegCloseKey", {}, [&] { return DeviceBackendWrapper::CeRegCloseKey(key); });
}

int32_t TracingDevice::CeRapiInvoke(const std::string& dll, const std::string& functionName, DWORD inputCount,
                                    const uint8_t* input, DWORD* outputCount, uint8_t** output)
{
    return traced("CeRapiInvoke", {}, [&] {
        return DeviceBackendWrapper::CeRapiInvoke(dll, functionName, inputCount, input, outputCount, output);
    });
}

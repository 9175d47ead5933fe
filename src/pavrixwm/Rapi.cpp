#include "pavrixwm/Rapi.h"

#include "pavrixwm/EmulatedDevice.h"

#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

namespace {

std::optional<std::string> TracePathFromEnvironment()
{
    const char* path = std::getenv("PAVRIX_DEVICE_TRACE");
    if (!path || !*path)
        return std::nullopt;
    return std::string(path);
}

} // namespace

Rapi::Rapi() : Rapi(EmulatedDevice::fromEnvironment()) {}

Rapi::Rapi(std::shared_ptr<DeviceBackend> device) : device_(std::move(device)), tracePath_(TracePathFromEnvironment()) {}

Rapi::~Rapi() = default;

void Rapi::trace(const char* call, const std::vector<std::string>& paths) const
{
    if (!tracePath_)
        return;
    std::string line = call;
    for (const auto& path : paths)
        line += "\t" + path;
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

BOOL Rapi::CeFindAllFiles(const std::string& path, DWORD flags, std::vector<RapiFindData>& findData)
{
    findData.clear();
    BOOL result = FALSE;
    if (device_)
        result = device_->CeFindAllFiles(path, flags, findData);
    else
        noDeviceError_ = ERROR_DEVICE_NOT_CONNECTED;
    trace("CeFindAllFiles", {path});
    return result;
}

HANDLE Rapi::CeCreateFile(const std::string& path, DWORD desiredAccess, DWORD sharingMode, DWORD creationDisposition,
                          DWORD flagsAndAttributes)
{
    HANDLE result = INVALID_HANDLE_VALUE;
    if (device_)
        result = device_->CeCreateFile(path, desiredAccess, sharingMode, creationDisposition, flagsAndAttributes);
    else
        noDeviceError_ = ERROR_DEVICE_NOT_CONNECTED;
    trace("CeCreateFile", {path});
    return result;
}

BOOL Rapi::CeReadFile(HANDLE handle, uint8_t* buffer, DWORD bytesToRead, DWORD& bytesRead)
{
    bytesRead = 0;
    BOOL result = FALSE;
    if (device_) {
        result = device_->CeReadFile(handle, buffer, bytesToRead, bytesRead);
        if (result)
            logReadPacket("CeReadFile", buffer, bytesRead);
    } else {
        noDeviceError_ = ERROR_DEVICE_NOT_CONNECTED;
    }
    trace("CeReadFile");
    return result;
}

BOOL Rapi::CeWriteFile(HANDLE handle, const uint8_t* buffer, DWORD bytesToWrite, DWORD& bytesWritten)
{
    bytesWritten = 0;
    BOOL result = FALSE;
    if (device_)
        result = device_->CeWriteFile(handle, buffer, bytesToWrite, bytesWritten);
    else
        noDeviceError_ = ERROR_DEVICE_NOT_CONNECTED;
    trace("CeWriteFile");
    return result;
}

BOOL Rapi::CeWriteFile(HANDLE handle, const std::vector<uint8_t>& data, DWORD& bytesWritten)
{
    return CeWriteFile(handle, data.data(), static_cast<DWORD>(data.size()), bytesWritten);
}

DWORD Rapi::CeSetFilePointer(HANDLE handle, LONG distanceToMove, LONG* distanceToMoveHigh, DWORD moveMethod)
{
    DWORD result = INVALID_SET_FILE_POINTER;
    if (device_)
        result = device_->CeSetFilePointer(handle, distanceToMove, distanceToMoveHigh, moveMethod);
    else
        noDeviceError_ = ERROR_DEVICE_NOT_CONNECTED;
    trace("CeSetFilePointer");
    return result;
}

BOOL Rapi::CeCloseHandle(HANDLE handle)
{
    BOOL result = FALSE;
    if (device_)
        result = device_->CeCloseHandle(handle);
    else
        noDeviceError_ = ERROR_DEVICE_NOT_CONNECTED;
    trace("CeCloseHandle");
    return result;
}

DWORD Rapi::CeGetLastError()
{
    DWORD result = device_ ? device_->CeGetLastError() : noDeviceError_;
    trace("CeGetLastError");
    return result;
}

BOOL Rapi::CeDeleteFile(const std::string& path)
{
    BOOL result = FALSE;
    if (device_)
        result = device_->CeDeleteFile(path);
    else
        noDeviceError_ = ERROR_DEVICE_NOT_CONNECTED;
    trace("CeDeleteFile", {path});
    return result;
}

BOOL Rapi::CeRemoveDirectory(const std::string& path)
{
    BOOL result = FALSE;
    if (device_)
        result = device_->CeRemoveDirectory(path);
    else
        noDeviceError_ = ERROR_DEVICE_NOT_CONNECTED;
    trace("CeRemoveDirectory", {path});
    return result;
}

BOOL Rapi::CeCreateDirectory(const std::string& path)
{
    BOOL result = FALSE;
    if (device_)
        result = device_->CeCreateDirectory(path);
    else
        noDeviceError_ = ERROR_DEVICE_NOT_CONNECTED;
    trace("CeCreateDirectory", {path});
    return result;
}

BOOL Rapi::CeMoveFile(const std::string& existingFileName, const std::string& newFileName)
{
    BOOL result = FALSE;
    if (device_)
        result = device_->CeMoveFile(existingFileName, newFileName);
    else
        noDeviceError_ = ERROR_DEVICE_NOT_CONNECTED;
    trace("CeMoveFile", {existingFileName, newFileName});
    return result;
}

BOOL Rapi::CeGetStoreInformation(STORE_INFORMATION& storeInformation)
{
    storeInformation = {};
    BOOL result = FALSE;
    if (device_)
        result = device_->CeGetStoreInformation(storeInformation);
    else
        noDeviceError_ = ERROR_DEVICE_NOT_CONNECTED;
    trace("CeGetStoreInformation");
    return result;
}

BOOL Rapi::GetSpaceOnCards(uint32_t words[5])
{
    for (int i = 0; i < 5; ++i)
        words[i] = 0;
    BOOL result = FALSE;
    if (device_)
        result = device_->GetSpaceOnCards(words);
    else
        noDeviceError_ = ERROR_DEVICE_NOT_CONNECTED;
    trace("GetSpaceOnCards");
    return result;
}

LONG Rapi::CeRegOpenKeyEx(HKEY root, const std::string& subKey, HKEY& result)
{
    LONG code = device_ ? device_->CeRegOpenKeyEx(root, subKey, result) : LONG(ERROR_DEVICE_NOT_CONNECTED);
    trace("CeRegOpenKeyEx");
    return code;
}

LONG Rapi::CeRegCreateKeyEx(HKEY root, const std::string& subKey, const std::optional<std::string>& keyClass,
                            HKEY& result, DWORD* disposition)
{
    LONG code = device_ ? device_->CeRegCreateKeyEx(root, subKey, keyClass, result, disposition)
                        : LONG(ERROR_DEVICE_NOT_CONNECTED);
    trace("CeRegCreateKeyEx");
    return code;
}

LONG Rapi::CeRegQueryValueEx(HKEY key, const std::string& valueName, std::optional<RegistryValue>& value)
{
    LONG code = device_ ? device_->CeRegQueryValueEx(key, valueName, value) : LONG(ERROR_DEVICE_NOT_CONNECTED);
    trace("CeRegQueryValueEx");
    return code;
}

LONG Rapi::CeRegSetValueEx(HKEY key, const std::string& valueName, const RegistryValue& value)
{
    LONG code = device_ ? device_->CeRegSetValueEx(key, valueName, value) : LONG(ERROR_DEVICE_NOT_CONNECTED);
    trace("CeRegSetValueEx");
    return code;
}

LONG Rapi::CeRegCloseKey(HKEY key)
{
    LONG code = device_ ? device_->CeRegCloseKey(key) : LONG(ERROR_DEVICE_NOT_CONNECTED);
    trace("CeRegCloseKey");
    return code;
}

int32_t Rapi::CeRapiInvoke(const std::string& dll, const std::string& functionName, DWORD inputCount,
                           const uint8_t* input, DWORD* outputCount, uint8_t** output)
{
    if (outputCount)
        *outputCount = 0;
    if (output)
        *output = nullptr;
    int32_t code = static_cast<int32_t>(ERROR_DEVICE_NOT_CONNECTED);
    if (device_) {
        code = device_->CeRapiInvoke(dll, functionName, inputCount, input, outputCount, output);
        if (output && *output && outputCount)
            logReadPacket("CeRapiInvoke", *output, *outputCount);
    }
    trace("CeRapiInvoke");
    return code;
}

void Rapi::CeRapiFreeBuffer(uint8_t* buffer)
{
    if (!buffer)
        return;
    if (device_)
        device_->CeRapiFreeBuffer(buffer);
}

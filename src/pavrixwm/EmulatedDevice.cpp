#include "pavrixwm/EmulatedDevice.h"

#include "pavrixwm/DeviceNames.h"

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <thread>

namespace {

uint32_t Clip32(int64_t value)
{
    if (value < 0)
        return 0;
    return value > 0xFFFFFFFFLL ? 0xFFFFFFFFu : static_cast<uint32_t>(value);
}

} // namespace

// What every entry point does first: it holds the device for the whole call, so
// that a session's calls run one at a time; a device call also sees the current
// settings and pays the link's latency, as a device behind a slow link would.
// Calls on an open handle go on with the settings the device last looked at (at
// the latest, when the handle was opened): the file is not looked at again for
// each block of a transfer.
class EmulatedDevice::Call {
public:
    enum Kind {
        kDeviceCall, // reaches the device: current settings, and the latency
        kHandleCall, // reaches the device on an open handle: the latency
        kSettings,   // reads the settings only, without going over the link
        kLocal,      // stays on this side: only the lock
    };
    explicit Call(EmulatedDevice& device, Kind kind = kDeviceCall) : lock_(device.mutex_)
    {
        if (kind == kLocal)
            return;
        if (kind != kHandleCall)
            device.settings_.reload();
        int64_t latency = device.settings_.latencyMicroseconds();
        if (kind != kSettings && latency > 0)
            std::this_thread::sleep_for(std::chrono::microseconds(latency));
    }

private:
    std::lock_guard<std::mutex> lock_;
};

// ---------------------------------------------------------------------------
// Set-up

std::shared_ptr<EmulatedDevice> EmulatedDevice::open(const std::string& directory, OpenFileRegistry& openFiles)
{
    auto fs = RealPath(directory + "/fs");
    if (!fs)
        return nullptr;
    struct stat st {};
    if (::stat(fs->c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return nullptr;
    auto base = RealPath(directory);
    return std::shared_ptr<EmulatedDevice>(new EmulatedDevice(base ? *base : directory, *fs, openFiles));
}

// The library runs inside the device call that invoked it, so the settings are
// current and the device is already held when it reaches back.
EmulatedDevice::EmulatedDevice(std::string directory, const std::string& fsRoot, OpenFileRegistry& openFiles)
    : directory_(std::move(directory)),
      settings_(directory_ + "/device.plist"),
      tree_(fsRoot),
      files_(tree_, openFiles.tableFor(fsRoot)),
      registry_(directory_ + "/registry.plist"),
      library_(directory_, EmulatedDeviceLibrary::Device{
                               [this] { return settings_.deviceClass(); },
                               [this](uint32_t process) { return settings_.exitCode(process); },
                               [this](const std::string& path, DWORD& error) { return files_.readWhole(path, error); },
                               [this](const std::string& path, const std::vector<uint8_t>& data) {
                                   return files_.writeWhole(path, data);
                               },
                           })
{
}

EmulatedDevice::~EmulatedDevice()
{
    for (uint8_t* block : replyBlocks_)
        std::free(block);
}

BOOL EmulatedDevice::result(DWORD error)
{
    if (error == 0)
        return TRUE;
    lastError_ = error;
    return FALSE;
}

std::map<std::string, std::string> EmulatedDevice::description()
{
    Call call(*this, Call::kSettings);
    std::map<std::string, std::string> out;
    out["DeviceClass"] = settings_.deviceClass();
    out["DeviceName"] = settings_.deviceName().value_or(directory_.substr(directory_.find_last_of('/') + 1));
    out["DevicePath"] = directory_;
    return out;
}

// ---------------------------------------------------------------------------
// Files

BOOL EmulatedDevice::CeFindAllFiles(const std::string& path, DWORD flags, std::vector<RapiFindData>& findData)
{
    Call call(*this);
    return result(tree_.find(path, flags, findData));
}

HANDLE EmulatedDevice::CeCreateFile(const std::string& path, DWORD desiredAccess, DWORD sharingMode,
                                    DWORD creationDisposition, DWORD /*flagsAndAttributes*/)
{
    Call call(*this);
    HANDLE handle = INVALID_HANDLE_VALUE;
    return result(files_.create(path, desiredAccess, sharingMode, creationDisposition, handle)) ? handle
                                                                                                : INVALID_HANDLE_VALUE;
}

BOOL EmulatedDevice::CeReadFile(HANDLE handle, uint8_t* buffer, DWORD bytesToRead, DWORD& bytesRead)
{
    Call call(*this, Call::kHandleCall);
    BOOL ok = result(files_.read(handle, buffer, bytesToRead, bytesRead));
    payForBytes(bytesRead);
    return ok;
}

BOOL EmulatedDevice::CeWriteFile(HANDLE handle, const uint8_t* buffer, DWORD bytesToWrite, DWORD& bytesWritten)
{
    Call call(*this, Call::kHandleCall);
    BOOL ok = result(files_.write(handle, buffer, bytesToWrite, bytesWritten));
    payForBytes(bytesWritten);
    return ok;
}

void EmulatedDevice::payForBytes(uint64_t bytes) const
{
    int64_t rate = settings_.bytesPerSecond();
    if (rate > 0 && bytes > 0)
        std::this_thread::sleep_for(std::chrono::microseconds(bytes * 1000000 / static_cast<uint64_t>(rate)));
}

DWORD EmulatedDevice::CeSetFilePointer(HANDLE handle, LONG distanceToMove, LONG* distanceToMoveHigh, DWORD moveMethod)
{
    Call call(*this, Call::kHandleCall);
    int64_t distance = distanceToMoveHigh
                           ? static_cast<int64_t>((static_cast<uint64_t>(static_cast<uint32_t>(*distanceToMoveHigh)) << 32) |
                                                  static_cast<uint32_t>(distanceToMove))
                           : static_cast<int64_t>(distanceToMove);
    int64_t position = 0;
    if (!result(files_.seek(handle, distance, moveMethod, position)))
        return INVALID_SET_FILE_POINTER;
    if (distanceToMoveHigh)
        *distanceToMoveHigh = static_cast<LONG>(static_cast<uint64_t>(position) >> 32);
    DWORD low = static_cast<DWORD>(position & 0xFFFFFFFF);
    // A position whose low half is all ones looks like a failure; as on Win32 the
    // error code is cleared so that callers can tell the two apart.
    if (low == INVALID_SET_FILE_POINTER)
        lastError_ = ERROR_SUCCESS;
    return low;
}

BOOL EmulatedDevice::CeCloseHandle(HANDLE handle)
{
    Call call(*this, Call::kHandleCall);
    return result(files_.close(handle));
}

BOOL EmulatedDevice::CeSetFileTime(HANDLE handle, const FILETIME* creationTime, const FILETIME* lastAccessTime,
                                   const FILETIME* lastWriteTime)
{
    Call call(*this, Call::kHandleCall);
    return result(files_.setTimes(handle, creationTime, lastAccessTime, lastWriteTime));
}

DWORD EmulatedDevice::CeGetLastError()
{
    Call call(*this);
    return lastError_;
}

BOOL EmulatedDevice::CeDeleteFile(const std::string& path)
{
    Call call(*this);
    return result(files_.deleteFile(path));
}

BOOL EmulatedDevice::CeRemoveDirectory(const std::string& path)
{
    Call call(*this);
    return result(tree_.removeDirectory(path));
}

BOOL EmulatedDevice::CeCreateDirectory(const std::string& path)
{
    Call call(*this);
    return result(tree_.createDirectory(path));
}

BOOL EmulatedDevice::CeMoveFile(const std::string& existingFileName, const std::string& newFileName)
{
    Call call(*this);
    return result(files_.move(existingFileName, newFileName));
}

BOOL EmulatedDevice::CeCopyFile(const std::string& existingFileName, const std::string& newFileName,
                                BOOL failIfExists)
{
    Call call(*this);
    return result(files_.copy(existingFileName, newFileName, failIfExists != FALSE));
}

// ---------------------------------------------------------------------------
// Space

BOOL EmulatedDevice::CeGetStoreInformation(STORE_INFORMATION& storeInformation)
{
    Call call(*this);
    storeInformation = {};
    int64_t size = 0, free = 0;
    if (!settings_.storeSize() || !settings_.storeFree()) {
        if (!result(tree_.hostSpace(size, free)))
            return FALSE;
    }
    storeInformation.dwStoreSize = Clip32(settings_.storeSize().value_or(size));
    storeInformation.dwFreeSize = Clip32(settings_.storeFree().value_or(free));
    return TRUE;
}

BOOL EmulatedDevice::GetSpaceOnCards(uint32_t words[5])
{
    Call call(*this);
    auto total = static_cast<uint64_t>(std::max<int64_t>(0, settings_.cardsTotal()));
    auto free = static_cast<uint64_t>(std::max<int64_t>(0, settings_.cardsFree()));
    CardSpaceWords(words, total, free);
    return TRUE;
}

// ---------------------------------------------------------------------------
// Registry

LONG EmulatedDevice::CeRegOpenKeyEx(HKEY root, const std::string& subKey, HKEY& result)
{
    Call call(*this);
    return registry_.openKey(root, subKey, result);
}

LONG EmulatedDevice::CeRegCreateKeyEx(HKEY root, const std::string& subKey, const std::optional<std::string>& /*keyClass*/,
                                      HKEY& result, DWORD* disposition)
{
    Call call(*this);
    return registry_.createKey(root, subKey, result, disposition);
}

LONG EmulatedDevice::CeRegQueryValueEx(HKEY key, const std::string& valueName, std::optional<RegistryValue>& value)
{
    Call call(*this);
    return registry_.queryValue(key, valueName, value);
}

LONG EmulatedDevice::CeRegSetValueEx(HKEY key, const std::string& valueName, const RegistryValue& value)
{
    Call call(*this);
    return registry_.setValue(key, valueName, value);
}

LONG EmulatedDevice::CeRegCloseKey(HKEY key)
{
    Call call(*this);
    return registry_.closeKey(key);
}

// ---------------------------------------------------------------------------
// Device-side library

int32_t EmulatedDevice::CeRapiInvoke(const std::string& dll, const std::string& functionName, DWORD inputCount,
                                     const uint8_t* input, DWORD* outputCount, uint8_t** output)
{
    Call call(*this);
    if (outputCount)
        *outputCount = 0;
    if (output)
        *output = nullptr;
    if (!DeviceNamesEqual(dll, "pavrix") && !DeviceNamesEqual(dll, "pavrix.dll"))
        return static_cast<int32_t>(ERROR_MOD_NOT_FOUND);
    if (inputCount > 0 && !input)
        return static_cast<int32_t>(ERROR_INVALID_PARAMETER);
    std::vector<uint8_t> in(input, input + inputCount);
    std::optional<std::vector<uint8_t>> reply;
    int32_t code = library_.invoke(functionName, in, reply);
    if (code == 0 && reply && outputCount && output) {
        auto* block = static_cast<uint8_t*>(std::malloc(std::max<size_t>(reply->size(), 1)));
        if (!block)
            return static_cast<int32_t>(ERROR_NOT_ENOUGH_MEMORY);
        std::copy(reply->begin(), reply->end(), block);
        replyBlocks_.insert(block);
        *output = block;
        *outputCount = static_cast<DWORD>(reply->size());
    }
    return code;
}

void EmulatedDevice::CeRapiFreeBuffer(uint8_t* buffer)
{
    Call call(*this, Call::kLocal);
    // Only blocks this device handed out are freed; anything else is left alone
    // rather than corrupting the heap.
    if (buffer && replyBlocks_.erase(buffer))
        std::free(buffer);
}

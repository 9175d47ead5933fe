#include "support/FaultInjectingDevice.h"

#include <algorithm>
#include <cstdlib>

void FaultInjectingDevice::failCall(Call call, uint32_t errorCode, int times, int skip)
{
    std::lock_guard lock(mutex_);
    faults_[call] = Fault{errorCode, times, skip};
}

void FaultInjectingDevice::shortWrites(uint32_t maxBytes, int skip)
{
    std::lock_guard lock(mutex_);
    shortWriteMax_ = maxBytes;
    shortWriteSkip_ = skip;
}

void FaultInjectingDevice::replaceInvokeReply(const std::string& functionName, int32_t result,
                                              std::optional<std::vector<uint8_t>> reply, int times)
{
    std::lock_guard lock(mutex_);
    replyFaults_[functionName] = ReplyFault{result, std::move(reply), times};
}

void FaultInjectingDevice::clearFaults()
{
    std::lock_guard lock(mutex_);
    faults_.clear();
    shortWriteMax_.reset();
    replyFaults_.clear();
}

int FaultInjectingDevice::callCount(Call call) const
{
    std::lock_guard lock(mutex_);
    auto it = counts_.find(call);
    return it == counts_.end() ? 0 : it->second;
}

int FaultInjectingDevice::replyBlocksHandedOut() const
{
    std::lock_guard lock(mutex_);
    return handedOut_;
}

int FaultInjectingDevice::replyBlocksFreed() const
{
    std::lock_guard lock(mutex_);
    return freed_;
}

int FaultInjectingDevice::outstandingReplyBlocks() const
{
    std::lock_guard lock(mutex_);
    return static_cast<int>(ownBlocks_.size() + innerBlocks_.size());
}

std::optional<uint32_t> FaultInjectingDevice::injected(Call call)
{
    std::lock_guard lock(mutex_);
    ++counts_[call];
    auto it = faults_.find(call);
    if (it == faults_.end())
        return std::nullopt;
    Fault& fault = it->second;
    if (fault.skip > 0) {
        --fault.skip;
        return std::nullopt;
    }
    if (fault.times == 0)
        return std::nullopt;
    if (fault.times > 0)
        --fault.times;
    injectedError_ = fault.errorCode;
    return fault.errorCode;
}

template <typename Result, typename Forward>
Result FaultInjectingDevice::guarded(Call call, Result failed, Forward&& forward)
{
    if (injected(call))
        return failed;
    Result result = forward();
    if (result == failed) {
        // A failure that came from the device itself: from now on its code is the one to report.
        std::lock_guard lock(mutex_);
        injectedError_.reset();
    }
    return result;
}

template <typename Forward>
LONG FaultInjectingDevice::answered(Call call, Forward&& forward)
{
    if (auto code = injected(call))
        return static_cast<LONG>(*code);
    return forward();
}

uint32_t FaultInjectingDevice::allowedWrite(uint32_t bytesToWrite)
{
    std::lock_guard lock(mutex_);
    if (!shortWriteMax_)
        return bytesToWrite;
    if (shortWriteSkip_ > 0) {
        --shortWriteSkip_;
        return bytesToWrite;
    }
    return std::min(bytesToWrite, *shortWriteMax_);
}

BOOL FaultInjectingDevice::CeFindAllFiles(const std::string& path, DWORD flags, std::vector<RapiFindData>& findData)
{
    return guarded(Call::FindAllFiles, FALSE, [&] { return Base::CeFindAllFiles(path, flags, findData); });
}

HANDLE FaultInjectingDevice::CeCreateFile(const std::string& path, DWORD desiredAccess, DWORD sharingMode,
                                          DWORD creationDisposition, DWORD flagsAndAttributes)
{
    return guarded(Call::CreateFile, INVALID_HANDLE_VALUE, [&] {
        return Base::CeCreateFile(path, desiredAccess, sharingMode, creationDisposition, flagsAndAttributes);
    });
}

BOOL FaultInjectingDevice::CeReadFile(HANDLE handle, uint8_t* buffer, DWORD bytesToRead, DWORD& bytesRead)
{
    return guarded(Call::ReadFile, FALSE, [&] { return Base::CeReadFile(handle, buffer, bytesToRead, bytesRead); });
}

BOOL FaultInjectingDevice::CeWriteFile(HANDLE handle, const uint8_t* buffer, DWORD bytesToWrite, DWORD& bytesWritten)
{
    return guarded(Call::WriteFile, FALSE, [&]() -> BOOL {
        DWORD allowed = allowedWrite(bytesToWrite);
        if (allowed == 0 && bytesToWrite > 0) {
            bytesWritten = 0; // capped at nothing: TRUE with no bytes, and the device is not reached
            return TRUE;
        }
        return Base::CeWriteFile(handle, buffer, allowed, bytesWritten);
    });
}

DWORD FaultInjectingDevice::CeSetFilePointer(HANDLE handle, LONG distanceToMove, LONG* distanceToMoveHigh,
                                             DWORD moveMethod)
{
    return guarded(Call::SetFilePointer, INVALID_SET_FILE_POINTER, [&] {
        return Base::CeSetFilePointer(handle, distanceToMove, distanceToMoveHigh, moveMethod);
    });
}

BOOL FaultInjectingDevice::CeCloseHandle(HANDLE handle)
{
    return guarded(Call::CloseHandle, FALSE, [&] { return Base::CeCloseHandle(handle); });
}

DWORD FaultInjectingDevice::CeGetLastError()
{
    DWORD fromDevice = Base::CeGetLastError();
    std::lock_guard lock(mutex_);
    return injectedError_ ? *injectedError_ : fromDevice;
}

BOOL FaultInjectingDevice::CeDeleteFile(const std::string& path)
{
    return guarded(Call::DeleteFile, FALSE, [&] { return Base::CeDeleteFile(path); });
}

BOOL FaultInjectingDevice::CeRemoveDirectory(const std::string& path)
{
    return guarded(Call::RemoveDirectory, FALSE, [&] { return Base::CeRemoveDirectory(path); });
}

BOOL FaultInjectingDevice::CeCreateDirectory(const std::string& path)
{
    return guarded(Call::CreateDirectory, FALSE, [&] { return Base::CeCreateDirectory(path); });
}

BOOL FaultInjectingDevice::CeMoveFile(const std::string& existingFileName, const std::string& newFileName)
{
    return guarded(Call::MoveFile, FALSE, [&] { return Base::CeMoveFile(existingFileName, newFileName); });
}

BOOL FaultInjectingDevice::CeGetStoreInformation(STORE_INFORMATION& storeInformation)
{
    return guarded(Call::GetStoreInformation, FALSE, [&] { return Base::CeGetStoreInformation(storeInformation); });
}

BOOL FaultInjectingDevice::GetSpaceOnCards(uint32_t words[5])
{
    return guarded(Call::GetSpaceOnCards, FALSE, [&] { return Base::GetSpaceOnCards(words); });
}

LONG FaultInjectingDevice::CeRegOpenKeyEx(HKEY root, const std::string& subKey, HKEY& result)
{
    return answered(Call::RegOpenKeyEx, [&] { return Base::CeRegOpenKeyEx(root, subKey, result); });
}

LONG FaultInjectingDevice::CeRegCreateKeyEx(HKEY root, const std::string& subKey,
                                            const std::optional<std::string>& keyClass, HKEY& result, DWORD* disposition)
{
    return answered(Call::RegCreateKeyEx,
                    [&] { return Base::CeRegCreateKeyEx(root, subKey, keyClass, result, disposition); });
}

LONG FaultInjectingDevice::CeRegQueryValueEx(HKEY key, const std::string& valueName, std::optional<RegistryValue>& value)
{
    return answered(Call::RegQueryValueEx, [&] { return Base::CeRegQueryValueEx(key, valueName, value); });
}

LONG FaultInjectingDevice::CeRegSetValueEx(HKEY key, const std::string& valueName, const RegistryValue& value)
{
    return answered(Call::RegSetValueEx, [&] { return Base::CeRegSetValueEx(key, valueName, value); });
}

LONG FaultInjectingDevice::CeRegCloseKey(HKEY key)
{
    return answered(Call::RegCloseKey, [&] { return Base::CeRegCloseKey(key); });
}

int32_t FaultInjectingDevice::CeRapiInvoke(const std::string& dll, const std::string& functionName, DWORD inputCount,
                                           const uint8_t* input, DWORD* outputCount, uint8_t** output)
{
    if (outputCount)
        *outputCount = 0;
    if (output)
        *output = nullptr;
    if (auto code = injected(Call::RapiInvoke))
        return static_cast<int32_t>(*code);

    std::optional<ReplyFault> replacement;
    {
        std::lock_guard lock(mutex_);
        auto it = replyFaults_.find(functionName);
        if (it == replyFaults_.end() || it->second.times == 0)
            it = replyFaults_.find("");
        if (it != replyFaults_.end() && it->second.times != 0) {
            replacement = it->second;
            if (it->second.times > 0)
                --it->second.times;
        }
    }

    int32_t result = Base::CeRapiInvoke(dll, functionName, inputCount, input, outputCount, output);
    std::lock_guard lock(mutex_);
    if (!replacement) {
        if (output && *output) {
            innerBlocks_.insert(*output);
            ++handedOut_;
        }
        return result;
    }
    // The device ran the call; its answer is swapped for the one the test chose.
    if (output && *output)
        Base::CeRapiFreeBuffer(*output);
    if (output)
        *output = nullptr;
    if (outputCount)
        *outputCount = 0;
    if (replacement->reply && output && outputCount) {
        auto* block = static_cast<uint8_t*>(std::malloc(std::max<size_t>(replacement->reply->size(), 1)));
        std::copy(replacement->reply->begin(), replacement->reply->end(), block);
        ownBlocks_.insert(block);
        ++handedOut_;
        *output = block;
        *outputCount = static_cast<DWORD>(replacement->reply->size());
    }
    return replacement->result;
}

void FaultInjectingDevice::CeRapiFreeBuffer(uint8_t* buffer)
{
    if (!buffer)
        return;
    std::lock_guard lock(mutex_);
    if (ownBlocks_.erase(buffer)) {
        std::free(buffer);
        ++freed_;
    } else if (innerBlocks_.erase(buffer)) {
        Base::CeRapiFreeBuffer(buffer);
        ++freed_;
    }
}

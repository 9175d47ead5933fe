#include "pavrixwm/FaultInjectingDevice.h"

#include <algorithm>
#include <cstdlib>

FaultInjectingDevice::FaultInjectingDevice(std::shared_ptr<DeviceBackend> inner) : inner_(std::move(inner)) {}

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

// A failure that came from the device itself: from now on its code is the one to report.
void FaultInjectingDevice::noteForwardedFailure()
{
    std::lock_guard lock(mutex_);
    injectedError_.reset();
}

std::map<std::string, std::string> FaultInjectingDevice::description() { return inner_->description(); }

BOOL FaultInjectingDevice::CeFindAllFiles(const std::string& path, DWORD flags, std::vector<RapiFindData>& findData)
{
    if (injected(Call::FindAllFiles)) {
        findData.clear();
        return FALSE;
    }
    BOOL result = inner_->CeFindAllFiles(path, flags, findData);
    if (!result)
        noteForwardedFailure();
    return result;
}

HANDLE FaultInjectingDevice::CeCreateFile(const std::string& path, DWORD desiredAccess, DWORD sharingMode,
                                          DWORD creationDisposition, DWORD flagsAndAttributes)
{
    if (injected(Call::CreateFile))
        return INVALID_HANDLE_VALUE;
    HANDLE result = inner_->CeCreateFile(path, desiredAccess, sharingMode, creationDisposition, flagsAndAttributes);
    if (result == INVALID_HANDLE_VALUE)
        noteForwardedFailure();
    return result;
}

BOOL FaultInjectingDevice::CeReadFile(HANDLE handle, uint8_t* buffer, DWORD bytesToRead, DWORD& bytesRead)
{
    if (injected(Call::ReadFile)) {
        bytesRead = 0;
        return FALSE;
    }
    BOOL result = inner_->CeReadFile(handle, buffer, bytesToRead, bytesRead);
    if (!result)
        noteForwardedFailure();
    return result;
}

BOOL FaultInjectingDevice::CeWriteFile(HANDLE handle, const uint8_t* buffer, DWORD bytesToWrite, DWORD& bytesWritten)
{
    if (injected(Call::WriteFile)) {
        bytesWritten = 0;
        return FALSE;
    }
    DWORD allowed = bytesToWrite;
    {
        std::lock_guard lock(mutex_);
        if (shortWriteMax_) {
            if (shortWriteSkip_ > 0)
                --shortWriteSkip_;
            else
                allowed = std::min(allowed, *shortWriteMax_);
        }
    }
    if (allowed == 0 && bytesToWrite > 0) {
        bytesWritten = 0;
        return TRUE;
    }
    BOOL result = inner_->CeWriteFile(handle, buffer, allowed, bytesWritten);
    if (!result)
        noteForwardedFailure();
    return result;
}

DWORD FaultInjectingDevice::CeSetFilePointer(HANDLE handle, LONG distanceToMove, LONG* distanceToMoveHigh,
                                             DWORD moveMethod)
{
    if (injected(Call::SetFilePointer))
        return INVALID_SET_FILE_POINTER;
    DWORD result = inner_->CeSetFilePointer(handle, distanceToMove, distanceToMoveHigh, moveMethod);
    if (result == INVALID_SET_FILE_POINTER)
        noteForwardedFailure();
    return result;
}

BOOL FaultInjectingDevice::CeCloseHandle(HANDLE handle)
{
    if (injected(Call::CloseHandle))
        return FALSE;
    BOOL result = inner_->CeCloseHandle(handle);
    if (!result)
        noteForwardedFailure();
    return result;
}

DWORD FaultInjectingDevice::CeGetLastError()
{
    DWORD inner = inner_->CeGetLastError();
    std::lock_guard lock(mutex_);
    return injectedError_ ? *injectedError_ : inner;
}

BOOL FaultInjectingDevice::CeDeleteFile(const std::string& path)
{
    if (injected(Call::DeleteFile))
        return FALSE;
    BOOL result = inner_->CeDeleteFile(path);
    if (!result)
        noteForwardedFailure();
    return result;
}

BOOL FaultInjectingDevice::CeRemoveDirectory(const std::string& path)
{
    if (injected(Call::RemoveDirectory))
        return FALSE;
    BOOL result = inner_->CeRemoveDirectory(path);
    if (!result)
        noteForwardedFailure();
    return result;
}

BOOL FaultInjectingDevice::CeCreateDirectory(const std::string& path)
{
    if (injected(Call::CreateDirectory))
        return FALSE;
    BOOL result = inner_->CeCreateDirectory(path);
    if (!result)
        noteForwardedFailure();
    return result;
}

BOOL FaultInjectingDevice::CeMoveFile(const std::string& existingFileName, const std::string& newFileName)
{
    if (injected(Call::MoveFile))
        return FALSE;
    BOOL result = inner_->CeMoveFile(existingFileName, newFileName);
    if (!result)
        noteForwardedFailure();
    return result;
}

BOOL FaultInjectingDevice::CeGetStoreInformation(STORE_INFORMATION& storeInformation)
{
    if (injected(Call::GetStoreInformation)) {
        storeInformation = {};
        return FALSE;
    }
    BOOL result = inner_->CeGetStoreInformation(storeInformation);
    if (!result)
        noteForwardedFailure();
    return result;
}

BOOL FaultInjectingDevice::GetSpaceOnCards(uint32_t words[5])
{
    if (injected(Call::GetSpaceOnCards)) {
        std::fill(words, words + 5, 0u);
        return FALSE;
    }
    BOOL result = inner_->GetSpaceOnCards(words);
    if (!result)
        noteForwardedFailure();
    return result;
}

LONG FaultInjectingDevice::CeRegOpenKeyEx(HKEY root, const std::string& subKey, HKEY& result)
{
    if (auto code = injected(Call::RegOpenKeyEx))
        return static_cast<LONG>(*code);
    return inner_->CeRegOpenKeyEx(root, subKey, result);
}

LONG FaultInjectingDevice::CeRegCreateKeyEx(HKEY root, const std::string& subKey,
                                            const std::optional<std::string>& keyClass, HKEY& result, DWORD* disposition)
{
    if (auto code = injected(Call::RegCreateKeyEx))
        return static_cast<LONG>(*code);
    return inner_->CeRegCreateKeyEx(root, subKey, keyClass, result, disposition);
}

LONG FaultInjectingDevice::CeRegQueryValueEx(HKEY key, const std::string& valueName, std::optional<RegistryValue>& value)
{
    if (auto code = injected(Call::RegQueryValueEx))
        return static_cast<LONG>(*code);
    return inner_->CeRegQueryValueEx(key, valueName, value);
}

LONG FaultInjectingDevice::CeRegSetValueEx(HKEY key, const std::string& valueName, const RegistryValue& value)
{
    if (auto code = injected(Call::RegSetValueEx))
        return static_cast<LONG>(*code);
    return inner_->CeRegSetValueEx(key, valueName, value);
}

LONG FaultInjectingDevice::CeRegCloseKey(HKEY key)
{
    if (auto code = injected(Call::RegCloseKey))
        return static_cast<LONG>(*code);
    return inner_->CeRegCloseKey(key);
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

    int32_t result = inner_->CeRapiInvoke(dll, functionName, inputCount, input, outputCount, output);
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
        inner_->CeRapiFreeBuffer(*output);
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
        inner_->CeRapiFreeBuffer(buffer);
        ++freed_;
    }
}

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
    shortWrite_ = Fault{maxBytes, kAlways, skip};
}

void FaultInjectingDevice::replaceInvokeReply(const std::string& functionName, int32_t result,
                                              std::optional<std::vector<uint8_t>> reply, int times)
{
    std::lock_guard lock(mutex_);
    replies_[functionName] = {Fault{static_cast<uint32_t>(result), times, 0}, std::move(reply)};
}

void FaultInjectingDevice::clearFaults()
{
    std::lock_guard lock(mutex_);
    faults_.clear();
    shortWrite_.reset();
    replies_.clear();
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
    return static_cast<int>(blocks_.size());
}

bool FaultInjectingDevice::Due(Fault& fault)
{
    if (fault.skip > 0) {
        --fault.skip;
        return false;
    }
    if (fault.times > 0)
        --fault.times;
    else if (fault.times == 0)
        return false;
    return true;
}

std::optional<uint32_t> FaultInjectingDevice::injected(Call call)
{
    std::lock_guard lock(mutex_);
    ++counts_[call];
    auto it = faults_.find(call);
    if (it == faults_.end() || !Due(it->second))
        return std::nullopt;
    injectedError_ = it->second.code;
    return it->second.code;
}

BOOL FaultInjectingDevice::CeWriteFile(HANDLE handle, const uint8_t* buffer, DWORD bytesToWrite, DWORD& bytesWritten)
{
    return guarded(Call::WriteFile, FALSE, [&]() -> BOOL {
        DWORD allowed = bytesToWrite;
        {
            std::lock_guard lock(mutex_);
            if (shortWrite_ && Due(*shortWrite_))
                allowed = std::min<DWORD>(bytesToWrite, shortWrite_->code);
        }
        if (allowed == 0 && bytesToWrite > 0) {
            bytesWritten = 0; // capped at nothing: TRUE with no bytes, and the device is not reached
            return TRUE;
        }
        return Base::CeWriteFile(handle, buffer, allowed, bytesWritten);
    });
}

DWORD FaultInjectingDevice::CeGetLastError()
{
    DWORD fromDevice = Base::CeGetLastError();
    std::lock_guard lock(mutex_);
    return injectedError_.value_or(fromDevice);
}

int32_t FaultInjectingDevice::CeRapiInvoke(const std::string& dll, const std::string& functionName, DWORD inputCount,
                                           const uint8_t* input, DWORD* outputCount, uint8_t** output)
{
    if (outputCount)
        *outputCount = 0;
    if (output)
        *output = nullptr;
    int32_t result = Base::CeRapiInvoke(dll, functionName, inputCount, input, outputCount, output);
    // The device's block is handed on as a copy of ours, so that every block the
    // caller gets back is one this double can count when it is freed.
    std::optional<std::vector<uint8_t>> answer;
    if (output && *output) {
        answer.emplace(*output, *output + (outputCount ? *outputCount : 0));
        Base::CeRapiFreeBuffer(*output);
        *output = nullptr;
    }
    std::lock_guard lock(mutex_);
    auto it = replies_.find(functionName);
    if (it != replies_.end() && Due(it->second.first)) {
        // The device ran the call; its answer is swapped for the one the test chose.
        result = static_cast<int32_t>(it->second.first.code);
        answer = it->second.second;
    }
    if (outputCount)
        *outputCount = answer && output ? static_cast<DWORD>(answer->size()) : 0;
    if (answer && output) {
        *output = static_cast<uint8_t*>(std::malloc(std::max<size_t>(answer->size(), 1)));
        std::copy(answer->begin(), answer->end(), *output);
        blocks_.insert(*output);
        ++handedOut_;
    }
    return result;
}

void FaultInjectingDevice::CeRapiFreeBuffer(uint8_t* buffer)
{
    std::lock_guard lock(mutex_);
    if (buffer && blocks_.erase(buffer)) {
        std::free(buffer);
        ++freed_;
    }
}

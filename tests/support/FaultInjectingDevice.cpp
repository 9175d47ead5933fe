#include "support/FaultInjectingDevice.h"

#include <algorithm>
#include <cstdlib>

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
        if (shortWrite_ && Due(*shortWrite_))
            allowed = std::min<DWORD>(bytesToWrite, shortWrite_->code);
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
    }
    return result;
}

void FaultInjectingDevice::CeRapiFreeBuffer(uint8_t* buffer)
{
    if (buffer && blocks_.erase(buffer))
        std::free(buffer);
}

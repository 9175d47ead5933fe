#include "pavrixwm/Rapi.h"

#include "pavrixwm/NoDevice.h"
#include "pavrixwm/TracingDevice.h"

#include <algorithm>

namespace {

// The calls go to the device, or to NoDevice when there is none; the trace, when
// asked for, sits over either, so that calls made without a device are traced too.
std::shared_ptr<DeviceBackend> SessionTarget(const std::shared_ptr<DeviceBackend>& device,
                                             std::optional<std::string> tracePath)
{
    std::shared_ptr<DeviceBackend> target = device ? device : std::make_shared<NoDevice>();
    if (!tracePath)
        return target;
    return std::make_shared<TracingDevice>(std::move(target), std::move(tracePath));
}

} // namespace

Rapi::Rapi(std::shared_ptr<DeviceBackend> device, std::optional<std::string> tracePath)
    : RapiBase(SessionTarget(device, std::move(tracePath))), device_(std::move(device))
{
}

BOOL Rapi::CeFindAllFiles(const std::string& path, DWORD flags, std::vector<RapiFindData>& findData)
{
    findData.clear();
    return RapiBase::CeFindAllFiles(path, flags, findData);
}

BOOL Rapi::CeReadFile(HANDLE handle, uint8_t* buffer, DWORD bytesToRead, DWORD& bytesRead)
{
    bytesRead = 0;
    BOOL result = RapiBase::CeReadFile(handle, buffer, bytesToRead, bytesRead);
    if (result)
        logReadPacket("CeReadFile", buffer, bytesRead);
    return result;
}

BOOL Rapi::CeWriteFile(HANDLE handle, const uint8_t* buffer, DWORD bytesToWrite, DWORD& bytesWritten)
{
    bytesWritten = 0;
    return RapiBase::CeWriteFile(handle, buffer, bytesToWrite, bytesWritten);
}

BOOL Rapi::CeWriteFile(HANDLE handle, const std::vector<uint8_t>& data, DWORD& bytesWritten)
{
    return CeWriteFile(handle, data.data(), static_cast<DWORD>(data.size()), bytesWritten);
}

BOOL Rapi::CeGetStoreInformation(STORE_INFORMATION& storeInformation)
{
    storeInformation = {};
    return RapiBase::CeGetStoreInformation(storeInformation);
}

BOOL Rapi::GetSpaceOnCards(uint32_t words[5])
{
    std::fill(words, words + 5, 0u);
    return RapiBase::GetSpaceOnCards(words);
}

int32_t Rapi::CeRapiInvoke(const std::string& dll, const std::string& functionName, DWORD inputCount,
                           const uint8_t* input, DWORD* outputCount, uint8_t** output)
{
    if (outputCount)
        *outputCount = 0;
    if (output)
        *output = nullptr;
    int32_t code = RapiBase::CeRapiInvoke(dll, functionName, inputCount, input, outputCount, output);
    if (output && *output && outputCount)
        logReadPacket("CeRapiInvoke", *output, *outputCount);
    return code;
}

void Rapi::CeRapiFreeBuffer(uint8_t* buffer)
{
    if (buffer)
        RapiBase::CeRapiFreeBuffer(buffer);
}

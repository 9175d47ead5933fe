#include "pavrixwm/Rapi.h"

#include "pavrixwm/EmulatedDevice.h"
#include "pavrixwm/LinkDevice.h"
#include "pavrixwm/LinkManager.h"
#include "pavrixwm/NoDevice.h"

#include <algorithm>
#include <cstdlib>

namespace {

std::optional<std::string> TracePathFromEnvironment()
{
    const char* path = std::getenv("PAVRIX_DEVICE_TRACE");
    if (!path || !*path)
        return std::nullopt;
    return std::string(path);
}

// With a link configured the handheld on it is the device, whether or not one is
// attached yet; otherwise the emulated device, if one is named.
std::shared_ptr<DeviceBackend> DefaultDevice()
{
    const char* link = std::getenv("PAVRIX_LINK_ADDRESS");
    if (link && *link) {
        auto manager = LinkManager::processWide();
        return manager ? std::make_shared<LinkDevice>(manager) : nullptr;
    }
    return EmulatedDevice::fromEnvironment();
}

} // namespace

Rapi::Rapi() : Rapi(DefaultDevice()) {}

Rapi::Rapi(std::shared_ptr<DeviceBackend> device)
    : device_(std::move(device)),
      backend_(device_ ? device_ : std::make_shared<NoDevice>(), TracePathFromEnvironment())
{
}

Rapi::~Rapi() = default;

BOOL Rapi::CeFindAllFiles(const std::string& path, DWORD flags, std::vector<RapiFindData>& findData)
{
    findData.clear();
    return backend_.CeFindAllFiles(path, flags, findData);
}

BOOL Rapi::CeReadFile(HANDLE handle, uint8_t* buffer, DWORD bytesToRead, DWORD& bytesRead)
{
    bytesRead = 0;
    BOOL result = backend_.CeReadFile(handle, buffer, bytesToRead, bytesRead);
    if (result)
        logReadPacket("CeReadFile", buffer, bytesRead);
    return result;
}

BOOL Rapi::CeWriteFile(HANDLE handle, const uint8_t* buffer, DWORD bytesToWrite, DWORD& bytesWritten)
{
    bytesWritten = 0;
    return backend_.CeWriteFile(handle, buffer, bytesToWrite, bytesWritten);
}

BOOL Rapi::CeWriteFile(HANDLE handle, const std::vector<uint8_t>& data, DWORD& bytesWritten)
{
    return CeWriteFile(handle, data.data(), static_cast<DWORD>(data.size()), bytesWritten);
}

BOOL Rapi::CeGetStoreInformation(STORE_INFORMATION& storeInformation)
{
    storeInformation = {};
    return backend_.CeGetStoreInformation(storeInformation);
}

BOOL Rapi::GetSpaceOnCards(uint32_t words[5])
{
    std::fill(words, words + 5, 0u);
    return backend_.GetSpaceOnCards(words);
}

int32_t Rapi::CeRapiInvoke(const std::string& dll, const std::string& functionName, DWORD inputCount,
                           const uint8_t* input, DWORD* outputCount, uint8_t** output)
{
    if (outputCount)
        *outputCount = 0;
    if (output)
        *output = nullptr;
    int32_t code = backend_.CeRapiInvoke(dll, functionName, inputCount, input, outputCount, output);
    if (output && *output && outputCount)
        logReadPacket("CeRapiInvoke", *output, *outputCount);
    return code;
}

void Rapi::CeRapiFreeBuffer(uint8_t* buffer)
{
    if (buffer)
        backend_.CeRapiFreeBuffer(buffer);
}

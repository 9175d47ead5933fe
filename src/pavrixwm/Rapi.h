#pragma once

// A device session: one connection to the attached device, with the RAPI calls as
// members of the same names (the contracts are DeviceBackend's). It adds to the
// device only what callers of a session rely on: outputs are cleared before each
// call, so a failing call never leaves stale entries, counts or reply blocks
// behind, and the blocks read can be logged. With no device attached, finds
// return nothing and every other call fails with ERROR_DEVICE_NOT_CONNECTED
// (NoDevice). With a trace file, every call is traced to it (TracingDevice).

#include "pavrixwm/RapiBase.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class Rapi : public RapiBase {
public:
    // A session over `device` (none when null), every call traced to `tracePath`
    // when one is given.
    explicit Rapi(std::shared_ptr<DeviceBackend> device, std::optional<std::string> tracePath = std::nullopt);
    Rapi(const Rapi&) = delete;
    Rapi& operator=(const Rapi&) = delete;

    // The device connection; null when no device is attached.
    const std::shared_ptr<DeviceBackend>& deviceConnection() const { return device_; }

    BOOL CeFindAllFiles(const std::string& path, DWORD flags, std::vector<RapiFindData>& findData) override;
    BOOL CeReadFile(HANDLE handle, uint8_t* buffer, DWORD bytesToRead, DWORD& bytesRead) override;
    BOOL CeWriteFile(HANDLE handle, const uint8_t* buffer, DWORD bytesToWrite, DWORD& bytesWritten) override;
    // Writes the whole data object (bytesWritten tells how much the device took).
    BOOL CeWriteFile(HANDLE handle, const std::vector<uint8_t>& data, DWORD& bytesWritten);
    BOOL CeGetStoreInformation(STORE_INFORMATION& storeInformation) override;
    BOOL GetSpaceOnCards(uint32_t words[5]) override;
    // The reply block, when one is asked for (both out pointers given), belongs to the
    // session until it comes back through CeRapiFreeBuffer.
    int32_t CeRapiInvoke(const std::string& dll, const std::string& functionName, DWORD inputCount,
                         const uint8_t* input, DWORD* outputCount, uint8_t** output) override;
    void CeRapiFreeBuffer(uint8_t* buffer) override;

private:
    std::shared_ptr<DeviceBackend> device_;
};

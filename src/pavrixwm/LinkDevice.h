#pragma once

// A handheld reached over the USB network link: every call becomes a remote call
// on this device's own channel, in the dialect the handheld speaks, with names,
// times, handles and error codes as the emulated device gives them. With no
// handheld attached (or one still locked) it answers as NoDevice does; when a
// handheld (re)attaches, the next call opens a channel to it. A call whose channel
// fails or stays silent past the call timeout fails with
// ERROR_DEVICE_NOT_CONNECTED; a reply that makes no sense fails it with
// ERROR_GEN_FAILURE. Either way the channel is dropped: the handles it held are
// gone on the handheld too.

#include "pavrixwm/DeviceBackend.h"
#include "pavrixwm/LinkManager.h"
#include "pavrixwm/RapiClientCodec.h"

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <set>

class LinkDevice : public DeviceBackend {
public:
    // How long one call may wait for the handheld.
    static constexpr std::chrono::milliseconds kCallTimeout{5000};
    // The most bytes one remote read or write moves; larger ones are split.
    static constexpr DWORD kChunk = 64 * 1024;

    explicit LinkDevice(std::shared_ptr<LinkManager> link);
    ~LinkDevice() override;

    // A handheld's description as the framework lists it: "DeviceClass" (its first
    // platform name, e.g. "PocketPC" or "SmartPhone"), "DeviceName", "DeviceModel".
    static std::map<std::string, std::string> describe(const LinkDeviceInfo& info);

    std::map<std::string, std::string> description() override;
    BOOL CeFindAllFiles(const std::string& path, DWORD flags, std::vector<RapiFindData>& findData) override;
    HANDLE CeCreateFile(const std::string& path, DWORD desiredAccess, DWORD sharingMode, DWORD creationDisposition,
                        DWORD flagsAndAttributes) override;
    BOOL CeReadFile(HANDLE handle, uint8_t* buffer, DWORD bytesToRead, DWORD& bytesRead) override;
    BOOL CeWriteFile(HANDLE handle, const uint8_t* buffer, DWORD bytesToWrite, DWORD& bytesWritten) override;
    DWORD CeSetFilePointer(HANDLE handle, LONG distanceToMove, LONG* distanceToMoveHigh, DWORD moveMethod) override;
    BOOL CeCloseHandle(HANDLE handle) override;
    BOOL CeSetFileTime(HANDLE handle, const FILETIME* creationTime, const FILETIME* lastAccessTime,
                       const FILETIME* lastWriteTime) override;
    DWORD CeGetLastError() override;
    BOOL CeDeleteFile(const std::string& path) override;
    BOOL CeRemoveDirectory(const std::string& path) override;
    BOOL CeCreateDirectory(const std::string& path) override;
    BOOL CeMoveFile(const std::string& existingFileName, const std::string& newFileName) override;
    BOOL CeCopyFile(const std::string& existingFileName, const std::string& newFileName, BOOL failIfExists) override;
    BOOL CeGetStoreInformation(STORE_INFORMATION& storeInformation) override;
    BOOL GetSpaceOnCards(uint32_t words[5]) override;
    LONG CeRegOpenKeyEx(HKEY root, const std::string& subKey, HKEY& result) override;
    LONG CeRegCreateKeyEx(HKEY root, const std::string& subKey, const std::optional<std::string>& keyClass,
                          HKEY& result, DWORD* disposition) override;
    LONG CeRegQueryValueEx(HKEY key, const std::string& valueName, std::optional<RegistryValue>& value) override;
    LONG CeRegSetValueEx(HKEY key, const std::string& valueName, const RegistryValue& value) override;
    LONG CeRegCloseKey(HKEY key) override;
    int32_t CeRapiInvoke(const std::string& dll, const std::string& functionName, DWORD inputCount,
                         const uint8_t* input, DWORD* outputCount, uint8_t** output) override;
    void CeRapiFreeBuffer(uint8_t* buffer) override;

private:
    using Bytes = std::vector<uint8_t>;
    // The codec of a usable channel, opening one when needed; none with the last
    // error set to ERROR_DEVICE_NOT_CONNECTED.
    const RapiClientCodec* connect();
    // Sends a request and takes its reply; none (channel dropped, last error set)
    // when the link fails.
    std::optional<Bytes> exchange(const Bytes& request);
    // The reply to the request `build` makes with the codec of the link, which is
    // left in `codec` for reading it; none when no handheld answers.
    template <class Build>
    std::optional<Bytes> ask(const RapiClientCodec*& codec, Build build)
    {
        codec = connect();
        if (!codec)
            return std::nullopt;
        return exchange(build(*codec));
    }
    // For a reply the decoder refused.
    void malformed();
    // FALSE with the code kept for CeGetLastError (a refused call keeps its code).
    BOOL outcome(bool decoded, const RapiStatus& status, bool succeeded);
    LONG registryOutcome(bool decoded, const RapiStatus& status);

    std::shared_ptr<LinkManager> link_;
    std::mutex mutex_; // one call at a time on the channel
    std::optional<LinkManager::Session> session_;
    std::optional<RapiClientCodec> codec_;
    std::set<uint8_t*> replyBlocks_;
    DWORD lastError_ = 0;
};

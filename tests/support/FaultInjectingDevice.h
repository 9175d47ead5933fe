#pragma once

// Test double: a device over another device that lets a test make chosen calls
// fail, short-change writes, replace invocation replies, and count what passed
// (calls made, reply blocks handed out and taken back).

#include "pavrixwm/DeviceBackendWrapper.h"

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

class FaultInjectingDevice : public DeviceBackendWrapper {
public:
    enum class Call {
        FindAllFiles, CreateFile, ReadFile, WriteFile, SetFilePointer, CloseHandle,
        DeleteFile, RemoveDirectory, CreateDirectory, MoveFile,
        GetStoreInformation, GetSpaceOnCards,
        RegOpenKeyEx, RegCreateKeyEx, RegQueryValueEx, RegSetValueEx, RegCloseKey,
        RapiInvoke,
    };
    static constexpr int kAlways = -1;

    using DeviceBackendWrapper::DeviceBackendWrapper;

    // The next `times` calls of the kind (kAlways: every one), after `skip` calls that
    // pass, fail without reaching the device: the call's failure result, with
    // `errorCode` as CeGetLastError (or, for the registry and CeRapiInvoke, as the result).
    void failCall(Call call, uint32_t errorCode, int times = kAlways, int skip = 0);
    // Writes after `skip` passing ones take at most `maxBytes` of what they are given
    // and report that count as a success (0: nothing is written, TRUE with 0 bytes).
    void shortWrites(uint32_t maxBytes, int skip = 0);
    // The next CeRapiInvoke of `functionName` (any function when empty) runs on the
    // device, and then answers `result` with `reply` as its block (none: no block).
    void replaceInvokeReply(const std::string& functionName, int32_t result, std::optional<std::vector<uint8_t>> reply,
                            int times = kAlways);
    // Removes every injected fault.
    void clearFaults();

    int callCount(Call call) const;
    int replyBlocksHandedOut() const;
    int replyBlocksFreed() const;
    // Reply blocks handed out and not yet taken back.
    int outstandingReplyBlocks() const;

    BOOL CeFindAllFiles(const std::string& path, DWORD flags, std::vector<RapiFindData>& findData) override;
    HANDLE CeCreateFile(const std::string& path, DWORD desiredAccess, DWORD sharingMode, DWORD creationDisposition,
                        DWORD flagsAndAttributes) override;
    BOOL CeReadFile(HANDLE handle, uint8_t* buffer, DWORD bytesToRead, DWORD& bytesRead) override;
    BOOL CeWriteFile(HANDLE handle, const uint8_t* buffer, DWORD bytesToWrite, DWORD& bytesWritten) override;
    DWORD CeSetFilePointer(HANDLE handle, LONG distanceToMove, LONG* distanceToMoveHigh, DWORD moveMethod) override;
    BOOL CeCloseHandle(HANDLE handle) override;
    DWORD CeGetLastError() override;
    BOOL CeDeleteFile(const std::string& path) override;
    BOOL CeRemoveDirectory(const std::string& path) override;
    BOOL CeCreateDirectory(const std::string& path) override;
    BOOL CeMoveFile(const std::string& existingFileName, const std::string& newFileName) override;
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
    using Base = DeviceBackendWrapper;

    struct Fault {
        uint32_t errorCode = 0;
        int times = kAlways;
        int skip = 0;
    };
    struct ReplyFault {
        int32_t result = 0;
        std::optional<std::vector<uint8_t>> reply;
        int times = kAlways;
    };
    // Counts the call and tells whether it is to fail (and with which code).
    std::optional<uint32_t> injected(Call call);
    // A call answered by a single failure value: when a fault is due it fails without
    // reaching the device (the session has already cleared its outputs); otherwise it
    // runs there.
    template <typename Result, typename Forward>
    Result guarded(Call call, Result failed, Forward&& forward);
    // A registry call answers its code: the injected one, or the device's.
    template <typename Forward>
    LONG answered(Call call, Forward&& forward);
    uint32_t allowedWrite(uint32_t bytesToWrite);

    mutable std::mutex mutex_;
    std::map<Call, Fault> faults_;
    std::map<Call, int> counts_;
    std::optional<uint32_t> shortWriteMax_;
    int shortWriteSkip_ = 0;
    std::map<std::string, ReplyFault> replyFaults_;
    std::set<uint8_t*> ownBlocks_;
    std::set<uint8_t*> innerBlocks_;
    int handedOut_ = 0;
    int freed_ = 0;
    std::optional<uint32_t> injectedError_;
};

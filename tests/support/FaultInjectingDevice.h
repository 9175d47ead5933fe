#pragma once

// Test double: a device over another device that lets a test make chosen calls
// fail, short-change writes, replace invocation replies, and count what passed
// (calls made, reply blocks handed out and taken back). Like the session over it,
// it is called from one thread.

#include "pavrixwm/DeviceBackendWrapper.h"

#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

class FaultInjectingDevice : public DeviceBackendWrapper {
public:
    enum class Call {
        CreateFile, ReadFile, WriteFile, SetFilePointer, CloseHandle,
        DeleteFile, RemoveDirectory, CreateDirectory, MoveFile, RegSetValueEx,
    };
    static constexpr int kAlways = -1;

    using DeviceBackendWrapper::DeviceBackendWrapper;

    // The next `times` calls of the kind (kAlways: every one), after `skip` calls that
    // pass, fail without reaching the device: the call's failure result, with
    // `errorCode` as CeGetLastError (or, for the registry, as the result).
    void failCall(Call call, uint32_t errorCode, int times = kAlways, int skip = 0)
    {
        faults_.insert_or_assign(call, Fault{errorCode, times, skip});
    }
    // Writes after `skip` passing ones take at most `maxBytes` of what they are given
    // and report that count as a success (0: nothing is written, TRUE with 0 bytes).
    void shortWrites(uint32_t maxBytes, int skip = 0) { shortWrite_ = Fault{maxBytes, kAlways, skip}; }
    // The next CeRapiInvoke of `functionName` runs on the device, and then answers
    // `result` with `reply` as its block (none: no block).
    void replaceInvokeReply(const std::string& functionName, int32_t result, std::optional<std::vector<uint8_t>> reply,
                            int times = kAlways)
    {
        // Assigned, not default-made first: Fault cannot be default-made inside its class.
        Fault fault{static_cast<uint32_t>(result), times, 0};
        replies_.insert_or_assign(functionName, std::pair(fault, std::move(reply)));
    }

    int callCount(Call call) const { return counts_.count(call) ? counts_.at(call) : 0; }
    // Reply blocks handed out and not yet taken back.
    int outstandingReplyBlocks() const { return static_cast<int>(blocks_.size()); }

    HANDLE CeCreateFile(const std::string& path, DWORD access, DWORD sharing, DWORD disposition, DWORD flags) override
    {
        return guarded(Call::CreateFile, INVALID_HANDLE_VALUE,
                       [&] { return Base::CeCreateFile(path, access, sharing, disposition, flags); });
    }
    BOOL CeReadFile(HANDLE handle, uint8_t* buffer, DWORD bytesToRead, DWORD& bytesRead) override
    {
        return guarded(Call::ReadFile, FALSE, [&] { return Base::CeReadFile(handle, buffer, bytesToRead, bytesRead); });
    }
    BOOL CeWriteFile(HANDLE handle, const uint8_t* buffer, DWORD bytesToWrite, DWORD& bytesWritten) override;
    DWORD CeSetFilePointer(HANDLE handle, LONG distance, LONG* distanceHigh, DWORD moveMethod) override
    {
        return guarded(Call::SetFilePointer, INVALID_SET_FILE_POINTER,
                       [&] { return Base::CeSetFilePointer(handle, distance, distanceHigh, moveMethod); });
    }
    BOOL CeCloseHandle(HANDLE h) override
    {
        return guarded(Call::CloseHandle, FALSE, [&] { return Base::CeCloseHandle(h); });
    }
    DWORD CeGetLastError() override;
    BOOL CeDeleteFile(const std::string& p) override
    {
        return guarded(Call::DeleteFile, FALSE, [&] { return Base::CeDeleteFile(p); });
    }
    BOOL CeRemoveDirectory(const std::string& p) override
    {
        return guarded(Call::RemoveDirectory, FALSE, [&] { return Base::CeRemoveDirectory(p); });
    }
    BOOL CeCreateDirectory(const std::string& p) override
    {
        return guarded(Call::CreateDirectory, FALSE, [&] { return Base::CeCreateDirectory(p); });
    }
    BOOL CeMoveFile(const std::string& from, const std::string& to) override
    {
        return guarded(Call::MoveFile, FALSE, [&] { return Base::CeMoveFile(from, to); });
    }
    LONG CeRegSetValueEx(HKEY key, const std::string& valueName, const RegistryValue& value) override
    {
        auto code = injected(Call::RegSetValueEx);
        return code ? static_cast<LONG>(*code) : Base::CeRegSetValueEx(key, valueName, value);
    }
    int32_t CeRapiInvoke(const std::string& dll, const std::string& functionName, DWORD inputCount,
                         const uint8_t* input, DWORD* outputCount, uint8_t** output) override;
    void CeRapiFreeBuffer(uint8_t* buffer) override;

private:
    using Base = DeviceBackendWrapper;

    // `code` is the error (a short write's byte cap, a replaced reply's result).
    struct Fault {
        uint32_t code = 0;
        int times = kAlways;
        int skip = 0;
    };
    // Whether the fault applies to this call, using up one of its skips or times.
    static bool Due(Fault& fault);
    // Counts the call and tells whether it is to fail (and with which code).
    std::optional<uint32_t> injected(Call call);
    // When a fault is due the call fails without reaching the device (the session has
    // already cleared its outputs); otherwise it runs there.
    template <typename Result, typename Forward>
    Result guarded(Call call, Result failed, Forward&& forward)
    {
        if (injected(call))
            return failed;
        Result result = forward();
        if (result == failed)
            injectedError_.reset(); // the device's own failure: its code is the one to report
        return result;
    }

    std::map<Call, Fault> faults_;
    std::map<Call, int> counts_;
    std::optional<Fault> shortWrite_;
    std::map<std::string, std::pair<Fault, std::optional<std::vector<uint8_t>>>> replies_;
    std::set<uint8_t*> blocks_; // handed out, not yet freed; copies of what the device answered
    std::optional<uint32_t> injectedError_;
};

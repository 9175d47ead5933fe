#pragma once

// What a session talks to while no device is attached: every call fails with
// ERROR_DEVICE_NOT_CONNECTED. File and store calls leave it for CeGetLastError;
// registry calls and invocations answer it as their result and, as on a device,
// leave the last error alone. Outputs are left as given (the session clears them
// before each call); finds fail like the others, so a listing sees no entries.

#include "pavrixwm/DeviceBackend.h"

class NoDevice : public DeviceBackend {
public:
    std::map<std::string, std::string> description() override { return {}; }
    BOOL CeFindAllFiles(const std::string&, DWORD, std::vector<RapiFindData>&) override { return fail(FALSE); }
    HANDLE CeCreateFile(const std::string&, DWORD, DWORD, DWORD, DWORD) override { return fail(INVALID_HANDLE_VALUE); }
    BOOL CeReadFile(HANDLE, uint8_t*, DWORD, DWORD&) override { return fail(FALSE); }
    BOOL CeWriteFile(HANDLE, const uint8_t*, DWORD, DWORD&) override { return fail(FALSE); }
    DWORD CeSetFilePointer(HANDLE, LONG, LONG*, DWORD) override { return fail(INVALID_SET_FILE_POINTER); }
    BOOL CeCloseHandle(HANDLE) override { return fail(FALSE); }
    BOOL CeSetFileTime(HANDLE, const FILETIME*, const FILETIME*, const FILETIME*) override { return fail(FALSE); }
    DWORD CeGetLastError() override { return lastError_; }

    BOOL CeDeleteFile(const std::string&) override { return fail(FALSE); }
    BOOL CeRemoveDirectory(const std::string&) override { return fail(FALSE); }
    BOOL CeCreateDirectory(const std::string&) override { return fail(FALSE); }
    BOOL CeMoveFile(const std::string&, const std::string&) override { return fail(FALSE); }
    BOOL CeCopyFile(const std::string&, const std::string&, BOOL) override { return fail(FALSE); }

    BOOL CeGetStoreInformation(STORE_INFORMATION&) override { return fail(FALSE); }
    BOOL GetSpaceOnCards(uint32_t[5]) override { return fail(FALSE); }

    LONG CeRegOpenKeyEx(HKEY, const std::string&, HKEY&) override { return kNotConnected; }
    LONG CeRegCreateKeyEx(HKEY, const std::string&, const std::optional<std::string>&, HKEY&, DWORD*) override
    {
        return kNotConnected;
    }
    LONG CeRegQueryValueEx(HKEY, const std::string&, std::optional<RegistryValue>&) override { return kNotConnected; }
    LONG CeRegSetValueEx(HKEY, const std::string&, const RegistryValue&) override { return kNotConnected; }
    LONG CeRegCloseKey(HKEY) override { return kNotConnected; }

    int32_t CeRapiInvoke(const std::string&, const std::string&, DWORD, const uint8_t*, DWORD*, uint8_t**) override
    {
        return kNotConnected;
    }
    void CeRapiFreeBuffer(uint8_t*) override {}

private:
    static constexpr LONG kNotConnected = static_cast<LONG>(ERROR_DEVICE_NOT_CONNECTED);

    template <typename Result>
    Result fail(Result result)
    {
        lastError_ = ERROR_DEVICE_NOT_CONNECTED;
        return result;
    }

    DWORD lastError_ = 0;
};

#pragma once

// The desktop's side of the remote calls: the request each call sends and the
// reading of its reply, in either dialect. Requests are message bodies (the
// channel adds the length prefix); a reply decoder returns false when the reply
// is not what the call expects (short, a count past its end, text with an odd
// length or no valid UTF-16), and never reads past the reply.

#include "pavrixwm/RapiDialect.h"
#include "pavrixwm/RapiFindData.h"
#include "pavrixwm/RapiValues.h"
#include "pavrixwm/RapiWriter.h"
#include "pavrixwm/RegistryValue.h"
#include "pavrixwm/WinCE.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// What most replies carry: the device's last error and the call's return value.
// `refused` is set when the device turned the call down as a whole (the older
// dialect's HRESULT); lastError then holds the Win32 code it names.
struct RapiStatus {
    DWORD lastError = 0;
    uint32_t result = 0;
    bool refused = false;
};

class RapiClientCodec {
public:
    using Bytes = std::vector<uint8_t>;
    // The largest name a find entry may carry, in characters (the device's MAX_PATH).
    static constexpr uint32_t kMaxNameCharacters = 260;
    // The most entries one listing may report.
    static constexpr uint32_t kMaxFindEntries = 1u << 20;

    explicit RapiClientCodec(RapiDialect dialect) : dialect_(dialect) {}
    RapiDialect dialect() const { return dialect_; }
    // Whether the dialect has a known layout for the call.
    bool supports(RapiCall call) const { return RapiCommandId(dialect_, call) != kNoRapiCommand; }

    Bytes findAllFiles(const std::string& path, DWORD flags) const;
    Bytes createFile(const std::string& path, DWORD access, DWORD sharing, DWORD disposition, DWORD flags) const;
    Bytes readFile(HANDLE handle, DWORD count) const;
    Bytes writeFile(HANDLE handle, const uint8_t* data, DWORD count) const;
    Bytes setFilePointer(HANDLE handle, LONG distance, const LONG* high, DWORD method) const;
    Bytes closeHandle(HANDLE handle) const;
    Bytes setFileTime(HANDLE handle, const FILETIME* creation, const FILETIME* access, const FILETIME* write) const;
    Bytes deleteFile(const std::string& path) const;
    Bytes removeDirectory(const std::string& path) const;
    Bytes createDirectory(const std::string& path) const;
    Bytes moveFile(const std::string& from, const std::string& to) const;
    Bytes copyFile(const std::string& from, const std::string& to, BOOL failIfExists) const;
    Bytes getStoreInformation() const;
    Bytes getDiskFreeSpaceEx(const std::string& path) const;
    Bytes regOpenKeyEx(HKEY root, const std::string& subKey) const;
    Bytes regCreateKeyEx(HKEY root, const std::string& subKey, const std::optional<std::string>& keyClass) const;
    Bytes regQueryValueEx(HKEY key, const std::string& name, DWORD bufferSize) const;
    Bytes regSetValueEx(HKEY key, const std::string& name, const RegistryValue& value) const;
    Bytes regCloseKey(HKEY key) const;
    Bytes rapiInvoke(const std::string& dll, const std::string& function, const uint8_t* input, DWORD count) const;

    // Last error and return value (every call not listed below).
    bool status(const Bytes& reply, RapiStatus& status) const;
    bool findAllFilesReply(const Bytes& reply, DWORD flags, RapiStatus& status, std::vector<RapiFindData>& found) const;
    // The bytes go to `buffer`, never more than `room`.
    bool readFileReply(const Bytes& reply, RapiStatus& status, uint8_t* buffer, DWORD room, DWORD& bytesRead) const;
    bool writeFileReply(const Bytes& reply, RapiStatus& status, DWORD& bytesWritten) const;
    // The new position's high half comes back only in the newer dialect.
    bool setFilePointerReply(const Bytes& reply, RapiStatus& status, LONG* high) const;
    bool storeInformationReply(const Bytes& reply, RapiStatus& status, STORE_INFORMATION& info) const;
    bool diskFreeSpaceReply(const Bytes& reply, RapiStatus& status, uint64_t& total, uint64_t& free) const;
    // A key handle (and, for a created key, the disposition) follows a zero result.
    bool regKeyReply(const Bytes& reply, RapiStatus& status, HKEY& key, DWORD* disposition) const;
    bool regQueryValueReply(const Bytes& reply, RapiStatus& status, std::optional<RegistryValue>& value) const;
    bool rapiInvokeReply(const Bytes& reply, RapiStatus& status, Bytes& output) const;

private:
    class Reply;
    uint32_t id(RapiCall call) const { return RapiCommandId(dialect_, call); }
    // The call's id and its one or two paths, in the dialect's text form.
    RapiWriter withPaths(RapiCall call, const std::string& path, const std::string* second = nullptr) const;
    Bytes pathCall(RapiCall call, const std::string& path) const;

    RapiDialect dialect_;
};

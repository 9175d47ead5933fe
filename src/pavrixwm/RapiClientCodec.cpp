#include "pavrixwm/RapiClientCodec.h"

#include "pavrixwm/DeviceFileTime.h"
#include "pavrixwm/RapiReader.h"
#include "pavrixwm/RapiWriter.h"

#include <algorithm>
#include <cstring>

// A reply opened for reading: in the older dialect the flag word (and, when it is
// 1, the HRESULT) is read first; a non-zero HRESULT is a refusal of the call.
class RapiClientCodec::Reply : public RapiReader {
public:
    Reply(RapiDialect dialect, const Bytes& bytes, RapiStatus& status) : RapiReader(bytes)
    {
        status = {};
        if (dialect != RapiDialect::Rapi1)
            return;
        if (u32() != 1)
            return;
        uint32_t hresult = u32();
        if (ok() && hresult != 0) {
            status.refused = true;
            status.lastError = Win32CodeOf(hresult);
        }
    }
};

RapiWriter RapiClientCodec::withPaths(RapiCall call, const std::string& path, const std::string* second) const
{
    RapiWriter out;
    out.u32(id(call));
    for (const std::string* each : {&path, second}) {
        if (!each)
            break;
        if (dialect_ == RapiDialect::Rapi1)
            out.optionalText(*each);
        else
            out.text2(*each);
    }
    return out;
}

RapiClientCodec::Bytes RapiClientCodec::pathCall(RapiCall call, const std::string& path) const
{
    return withPaths(call, path).take();
}

RapiClientCodec::Bytes RapiClientCodec::findAllFiles(const std::string& path, DWORD flags) const
{
    RapiWriter out;
    out.u32(id(RapiCall::FindAllFiles));
    if (dialect_ == RapiDialect::Rapi1)
        out.text1(path);
    else
        out.text2(path);
    return out.u32(flags).take();
}

RapiClientCodec::Bytes RapiClientCodec::createFile(const std::string& path, DWORD access, DWORD sharing,
                                                   DWORD disposition, DWORD flags) const
{
    RapiWriter out;
    out.u32(id(RapiCall::CreateFile));
    // The older dialect sends the name last, the newer one first; the template
    // file is always none.
    if (dialect_ == RapiDialect::Rapi2)
        out.text2(path);
    out.u32(access).u32(sharing).u32(disposition).u32(flags).u32(0);
    if (dialect_ == RapiDialect::Rapi1)
        out.text1(path);
    return out.take();
}

RapiClientCodec::Bytes RapiClientCodec::readFile(HANDLE handle, DWORD count) const
{
    RapiWriter out;
    out.u32(id(RapiCall::ReadFile)).u32(handle);
    if (dialect_ == RapiDialect::Rapi1)
        out.optionalOut(count).absent();
    else
        out.u32(count);
    return out.take();
}

RapiClientCodec::Bytes RapiClientCodec::writeFile(HANDLE handle, const uint8_t* data, DWORD count) const
{
    RapiWriter out;
    out.u32(id(RapiCall::WriteFile)).u32(handle);
    if (dialect_ == RapiDialect::Rapi1)
        out.u32(1).u32(count).raw(data, count).absent();
    else
        out.u32(count).raw(data, count);
    return out.take();
}

RapiClientCodec::Bytes RapiClientCodec::setFilePointer(HANDLE handle, LONG distance, const LONG* high,
                                                       DWORD method) const
{
    RapiWriter out;
    out.u32(id(RapiCall::SetFilePointer)).u32(handle).u32(static_cast<uint32_t>(distance));
    if (dialect_ == RapiDialect::Rapi1) {
        out.u32(high ? static_cast<uint32_t>(*high) : 0);
    } else {
        out.u32(high ? 1 : 0);
        if (high)
            out.u32(static_cast<uint32_t>(*high));
    }
    return out.u32(method).take();
}

RapiClientCodec::Bytes RapiClientCodec::closeHandle(HANDLE handle) const
{
    return RapiWriter().u32(id(RapiCall::CloseHandle)).u32(handle).take();
}

RapiClientCodec::Bytes RapiClientCodec::setFileTime(HANDLE handle, const FILETIME* creation, const FILETIME* access,
                                                    const FILETIME* write) const
{
    RapiWriter out;
    out.u32(id(RapiCall::SetFileTime)).u32(handle);
    for (const FILETIME* time : {creation, access, write}) {
        out.u32(time ? 8 : 0);
        if (time)
            out.u32(time->dwLowDateTime).u32(time->dwHighDateTime);
    }
    return out.take();
}

RapiClientCodec::Bytes RapiClientCodec::deleteFile(const std::string& path) const
{
    return pathCall(RapiCall::DeleteFile, path);
}

RapiClientCodec::Bytes RapiClientCodec::removeDirectory(const std::string& path) const
{
    return pathCall(RapiCall::RemoveDirectory, path);
}

RapiClientCodec::Bytes RapiClientCodec::createDirectory(const std::string& path) const
{
    Bytes out = pathCall(RapiCall::CreateDirectory, path);
    if (dialect_ == RapiDialect::Rapi1)
        platform::AppendLE32(out, 0); // no security attributes
    return out;
}

RapiClientCodec::Bytes RapiClientCodec::moveFile(const std::string& from, const std::string& to) const
{
    return withPaths(RapiCall::MoveFile, from, &to).take();
}

RapiClientCodec::Bytes RapiClientCodec::copyFile(const std::string& from, const std::string& to,
                                                 BOOL failIfExists) const
{
    return withPaths(RapiCall::CopyFile, from, &to).u32(failIfExists ? 1 : 0).take();
}

RapiClientCodec::Bytes RapiClientCodec::getStoreInformation() const
{
    RapiWriter out;
    out.u32(id(RapiCall::GetStoreInformation));
    if (dialect_ == RapiDialect::Rapi1)
        out.optionalOut(sizeof(STORE_INFORMATION));
    return out.take();
}

RapiClientCodec::Bytes RapiClientCodec::getDiskFreeSpaceEx(const std::string& path) const
{
    return RapiWriter().u32(id(RapiCall::GetDiskFreeSpaceEx)).text2(path).take();
}

RapiClientCodec::Bytes RapiClientCodec::regOpenKeyEx(HKEY root, const std::string& subKey) const
{
    RapiWriter out;
    out.u32(id(RapiCall::RegOpenKeyEx)).u32(root);
    if (dialect_ == RapiDialect::Rapi1)
        out.text1(subKey);
    else
        out.text2(subKey);
    return out.take();
}

RapiClientCodec::Bytes RapiClientCodec::regCreateKeyEx(HKEY root, const std::string& subKey,
                                                       const std::optional<std::string>& keyClass) const
{
    RapiWriter out;
    out.u32(id(RapiCall::RegCreateKeyEx)).u32(root);
    if (dialect_ == RapiDialect::Rapi1)
        out.text1(subKey).text1(keyClass);
    else
        out.text2(subKey).text2(keyClass);
    return out.take();
}

RapiClientCodec::Bytes RapiClientCodec::regQueryValueEx(HKEY key, const std::string& name, DWORD bufferSize) const
{
    RapiWriter out;
    out.u32(id(RapiCall::RegQueryValueEx)).u32(key);
    if (dialect_ == RapiDialect::Rapi1) {
        // name, reserved, type (room only), data (room only), data size (sent)
        out.optionalText(name).optionalOut(4).optionalOut(4).optionalOut(bufferSize);
        out.u32(1).u32(4).u32(1).u32(bufferSize);
    } else {
        out.text2(name).u32(bufferSize);
    }
    return out.take();
}

RapiClientCodec::Bytes RapiClientCodec::regSetValueEx(HKEY key, const std::string& name,
                                                      const RegistryValue& value) const
{
    auto data = RegistryValueBytes(value);
    uint32_t type = RegistryValueType(value);
    RapiWriter out;
    out.u32(id(RapiCall::RegSetValueEx)).u32(key);
    if (dialect_ == RapiDialect::Rapi1)
        out.optionalText(name).u32(type).optionalIn(data.data(), data.size()).u32(static_cast<uint32_t>(data.size()));
    else
        out.text2(name).u32(type).u32(static_cast<uint32_t>(data.size())).raw(data);
    return out.take();
}

RapiClientCodec::Bytes RapiClientCodec::regCloseKey(HKEY key) const
{
    return RapiWriter().u32(id(RapiCall::RegCloseKey)).u32(key).take();
}

RapiClientCodec::Bytes RapiClientCodec::rapiInvoke(const std::string& dll, const std::string& function,
                                                   const uint8_t* input, DWORD count) const
{
    RapiWriter out;
    out.u32(id(RapiCall::RapiInvoke)).u32(0);
    if (dialect_ == RapiDialect::Rapi1)
        out.text1(dll).text1(function);
    else
        out.text2(dll).text2(function);
    // The reply comes back in buffers, not as a stream.
    return out.u32(count).raw(input, count).u32(0).take();
}

// ---------------------------------------------------------------------------
// Replies

bool RapiClientCodec::status(const Bytes& reply, RapiStatus& status) const
{
    Reply in(dialect_, reply, status);
    if (status.refused)
        return in.ok();
    status.lastError = in.u32();
    status.result = in.u32();
    return in.ok();
}

bool RapiClientCodec::findAllFilesReply(const Bytes& reply, DWORD flags, RapiStatus& status,
                                        std::vector<RapiFindData>& found) const
{
    found.clear();
    Reply in(dialect_, reply, status);
    if (status.refused)
        return in.ok();
    // The older dialect gives the count alone; the newer one puts the last error
    // and a word of its own before it (read here as the call's result).
    status.result = TRUE;
    if (dialect_ == RapiDialect::Rapi2) {
        status.lastError = in.u32();
        status.result = in.u32();
    }
    uint32_t count = in.u32();
    if (!in.ok() || count > kMaxFindEntries)
        return false;
    for (uint32_t i = 0; i < count && in.ok(); ++i) {
        RapiFindData entry;
        uint32_t nameSize = (flags & FAF_NAME) ? in.u32() : 0;
        if (flags & FAF_ATTRIBUTES)
            entry.attributes = in.u32();
        auto time = [&in]() {
            uint64_t low = in.u32();
            uint64_t high = in.u32();
            return TimePointFromFileTime((high << 32) | low);
        };
        if (flags & FAF_CREATION_TIME)
            entry.creationTime = time();
        if (flags & FAF_LASTACCESS_TIME)
            entry.lastAccessTime = time();
        if (flags & FAF_LASTWRITE_TIME)
            entry.lastModTime = time();
        if (flags & FAF_SIZE_HIGH)
            entry.fileSize |= uint64_t{in.u32()} << 32;
        if (flags & FAF_SIZE_LOW)
            entry.fileSize |= in.u32();
        if (flags & FAF_OID)
            entry.oid = in.u32();
        if (flags & FAF_NAME) {
            // Characters in the older dialect, bytes in the newer; NUL included.
            uint64_t bytes = dialect_ == RapiDialect::Rapi1 ? uint64_t{nameSize} * 2 : nameSize;
            if (bytes > uint64_t{kMaxNameCharacters + 1} * 2) {
                in.fail();
                break;
            }
            entry.filename = in.deviceText(static_cast<size_t>(bytes));
        }
        found.push_back(std::move(entry));
    }
    if (!in.ok()) {
        found.clear();
        return false;
    }
    return true;
}

bool RapiClientCodec::readFileReply(const Bytes& reply, RapiStatus& status, uint8_t* buffer, DWORD room,
                                    DWORD& bytesRead) const
{
    bytesRead = 0;
    Reply in(dialect_, reply, status);
    if (status.refused)
        return in.ok();
    status.lastError = in.u32();
    status.result = in.u32();
    uint32_t count = in.u32();
    if (!in.ok() || count > room)
        return false;
    const uint8_t* data = in.raw(count);
    if (!data)
        return false;
    if (count)
        std::memcpy(buffer, data, count);
    bytesRead = count;
    return true;
}

bool RapiClientCodec::writeFileReply(const Bytes& reply, RapiStatus& status, DWORD& bytesWritten) const
{
    bytesWritten = 0;
    Reply in(dialect_, reply, status);
    if (status.refused)
        return in.ok();
    status.lastError = in.u32();
    status.result = in.u32();
    bytesWritten = in.u32();
    return in.ok();
}

bool RapiClientCodec::setFilePointerReply(const Bytes& reply, RapiStatus& status, LONG* high) const
{
    Reply in(dialect_, reply, status);
    if (status.refused)
        return in.ok();
    status.lastError = in.u32();
    status.result = in.u32();
    if (high && dialect_ == RapiDialect::Rapi2)
        *high = static_cast<LONG>(in.u32());
    return in.ok();
}

bool RapiClientCodec::storeInformationReply(const Bytes& reply, RapiStatus& status, STORE_INFORMATION& info) const
{
    info = {};
    Reply in(dialect_, reply, status);
    if (status.refused)
        return in.ok();
    status.lastError = in.u32();
    status.result = in.u32();
    Bytes data;
    if (dialect_ == RapiDialect::Rapi1) {
        auto sent = in.optional();
        if (sent)
            data = std::move(*sent);
    } else {
        data = in.bytes(sizeof(STORE_INFORMATION));
    }
    if (!in.ok() || data.size() != 8)
        return false;
    info.dwStoreSize = platform::ReadLE32(data.data());
    info.dwFreeSize = platform::ReadLE32(data.data() + 4);
    return true;
}

bool RapiClientCodec::diskFreeSpaceReply(const Bytes& reply, RapiStatus& status, uint64_t& total,
                                         uint64_t& free) const
{
    Reply in(dialect_, reply, status);
    status.lastError = in.u32();
    status.result = in.u32();
    auto wide = [&in]() {
        uint64_t low = in.u32();
        return low | (uint64_t{in.u32()} << 32);
    };
    wide(); // free to the caller
    total = wide();
    free = wide();
    return in.ok();
}

bool RapiClientCodec::regKeyReply(const Bytes& reply, RapiStatus& status, HKEY& key, DWORD* disposition) const
{
    Reply in(dialect_, reply, status);
    if (status.refused)
        return in.ok();
    status.lastError = in.u32();
    status.result = in.u32();
    if (in.ok() && status.result == ERROR_SUCCESS) {
        key = in.u32();
        if (disposition)
            *disposition = in.u32();
    }
    return in.ok();
}

bool RapiClientCodec::regQueryValueReply(const Bytes& reply, RapiStatus& status,
                                         std::optional<RegistryValue>& value) const
{
    value.reset();
    Reply in(dialect_, reply, status);
    if (status.refused)
        return in.ok();
    status.lastError = in.u32();
    status.result = in.u32();
    if (!in.ok() || status.result != ERROR_SUCCESS)
        return in.ok();
    uint32_t type = 0;
    Bytes data;
    if (dialect_ == RapiDialect::Rapi1) {
        auto typeBytes = in.optional();
        auto dataBytes = in.optional();
        in.optional(); // the size, which the data already tells
        if (!typeBytes || typeBytes->size() != 4 || !dataBytes)
            return false;
        type = platform::ReadLE32(typeBytes->data());
        data = std::move(*dataBytes);
    } else {
        type = in.u32();
        uint32_t size = in.u32();
        if (!in.ok() || size > in.left())
            return false;
        data = in.bytes(size);
    }
    if (!in.ok())
        return false;
    value = RegistryValueFrom(type, data);
    return value.has_value();
}

bool RapiClientCodec::rapiInvokeReply(const Bytes& reply, RapiStatus& status, Bytes& output) const
{
    output.clear();
    Reply in(dialect_, reply, status);
    if (status.refused)
        return in.ok();
    status.lastError = in.u32();
    status.result = in.u32();
    if (!in.ok())
        return false;
    // A failed invocation may end here.
    if (in.atEnd())
        return true;
    uint32_t size = in.u32();
    if (!in.ok() || size > in.left())
        return false;
    output = in.bytes(size);
    return in.ok();
}

#include "RapiResponder.h"

#include "pavrixwm/DeviceFileTime.h"
#include "pavrixwm/RapiClientCodec.h"
#include "pavrixwm/RapiReader.h"
#include "pavrixwm/RapiWriter.h"

#include <algorithm>

namespace {

bool Predefined(HKEY key) { return key >= HKEY_CLASSES_ROOT && key <= HKEY_USERS; }

} // namespace

RapiResponder::RapiResponder(std::shared_ptr<DeviceBackend> device, RapiDialect dialect)
    : device_(std::move(device)), dialect_(dialect)
{
}

RapiResponder::~RapiResponder()
{
    for (HANDLE handle : handles_)
        device_->CeCloseHandle(handle);
    for (HKEY key : keys_)
        device_->CeRegCloseKey(key);
}

std::optional<std::vector<RapiResponder::Bytes>> RapiResponder::answer(const Bytes& request)
{
    const bool v1 = dialect_ == RapiDialect::Rapi1;
    RapiReader in(request);
    auto call = RapiCallFor(dialect_, in.u32());
    if (!in.ok() || !call)
        return std::nullopt;
    auto text = [&]() { return (v1 ? in.text1() : in.text2()).value_or(""); };
    auto pathText = [&]() { return (v1 ? in.optionalText() : in.text2()).value_or(""); };

    RapiWriter out;
    if (v1)
        out.u32(0); // no HRESULT: the call ran
    auto lastErrorAnd = [&](uint32_t result) { out.u32(device_->CeGetLastError()).u32(result); };
    std::vector<Bytes> extra;

    switch (*call) {
    case RapiCall::FindAllFiles: {
        std::string path = text();
        DWORD flags = in.u32();
        if (!in.ok())
            return std::nullopt;
        std::vector<RapiFindData> found;
        BOOL result = device_->CeFindAllFiles(path, flags, found);
        if (!v1)
            out.u32(result ? 0 : device_->CeGetLastError()).u32(result ? 1 : 0);
        else if (!result) {
            // The older dialect's reply has no room for the error: the call is
            // refused with it as an HRESULT instead.
            return std::vector<Bytes>{RapiWriter().u32(1).u32(0x80070000 | device_->CeGetLastError()).take()};
        }
        out.u32(static_cast<uint32_t>(found.size()));
        for (const auto& entry : found) {
            auto name = Utf8ToDeviceText(entry.filename);
            if (flags & FAF_NAME)
                out.u32(static_cast<uint32_t>(v1 ? name.size() / 2 : name.size()));
            if (flags & FAF_ATTRIBUTES)
                out.u32(entry.attributes);
            for (auto [bit, time] : {std::pair{FAF_CREATION_TIME, entry.creationTime},
                                     std::pair{FAF_LASTACCESS_TIME, entry.lastAccessTime},
                                     std::pair{FAF_LASTWRITE_TIME, entry.lastModTime}}) {
                if (flags & bit) {
                    uint64_t ticks = FileTimeFromTimePoint(time);
                    out.u32(static_cast<uint32_t>(ticks)).u32(static_cast<uint32_t>(ticks >> 32));
                }
            }
            if (flags & FAF_SIZE_HIGH)
                out.u32(static_cast<uint32_t>(entry.fileSize >> 32));
            if (flags & FAF_SIZE_LOW)
                out.u32(static_cast<uint32_t>(entry.fileSize));
            if (flags & FAF_OID)
                out.u32(entry.oid);
            if (flags & FAF_NAME)
                out.raw(name);
        }
        break;
    }
    case RapiCall::CreateFile: {
        std::string path;
        if (!v1)
            path = text();
        DWORD access = in.u32(), sharing = in.u32(), disposition = in.u32(), flags = in.u32();
        in.u32(); // template file
        if (v1)
            path = text();
        if (!in.ok())
            return std::nullopt;
        HANDLE handle = device_->CeCreateFile(path, access, sharing, disposition, flags);
        if (handle != INVALID_HANDLE_VALUE)
            handles_.insert(handle);
        lastErrorAnd(handle);
        break;
    }
    case RapiCall::ReadFile: {
        HANDLE handle = in.u32();
        uint32_t count = 0;
        if (v1) {
            in.optional(&count);
            in.optional();
        } else {
            count = in.u32();
        }
        if (!in.ok())
            return std::nullopt;
        Bytes data(std::min(count, kMaxTransfer));
        DWORD got = 0;
        BOOL result = device_->CeReadFile(handle, data.data(), static_cast<DWORD>(data.size()), got);
        lastErrorAnd(result);
        out.u32(got).raw(data.data(), got);
        break;
    }
    case RapiCall::WriteFile: {
        HANDLE handle = in.u32();
        Bytes data;
        if (v1) {
            uint32_t present = in.u32();
            uint32_t size = in.u32();
            if (present != 1 || size > in.left())
                return std::nullopt;
            data = in.bytes(size);
            in.optional();
        } else {
            uint32_t size = in.u32();
            if (size > in.left())
                return std::nullopt;
            data = in.bytes(size);
        }
        if (!in.ok())
            return std::nullopt;
        DWORD written = 0;
        BOOL result = device_->CeWriteFile(handle, data.data(), static_cast<DWORD>(data.size()), written);
        lastErrorAnd(result);
        out.u32(written);
        break;
    }
    case RapiCall::SetFilePointer: {
        HANDLE handle = in.u32();
        LONG distance = static_cast<LONG>(in.u32());
        std::optional<LONG> high;
        if (v1) {
            LONG sent = static_cast<LONG>(in.u32());
            if (sent != 0)
                high = sent;
        } else if (in.u32()) {
            high = static_cast<LONG>(in.u32());
        }
        DWORD method = in.u32();
        if (!in.ok())
            return std::nullopt;
        LONG highValue = high.value_or(0);
        DWORD result = device_->CeSetFilePointer(handle, distance, high ? &highValue : nullptr, method);
        lastErrorAnd(result);
        if (!v1 && high)
            out.u32(static_cast<uint32_t>(highValue));
        break;
    }
    case RapiCall::CloseHandle: {
        HANDLE handle = in.u32();
        if (!in.ok())
            return std::nullopt;
        BOOL result = device_->CeCloseHandle(handle);
        if (result)
            handles_.erase(handle);
        lastErrorAnd(result);
        break;
    }
    case RapiCall::SetFileTime: {
        HANDLE handle = in.u32();
        FILETIME times[3];
        bool given[3];
        for (int i = 0; i < 3; ++i) {
            uint32_t size = in.u32();
            given[i] = size != 0;
            if (size != 0 && size != 8)
                return std::nullopt;
            if (given[i])
                times[i] = FILETIME{in.u32(), in.u32()};
        }
        if (!in.ok())
            return std::nullopt;
        BOOL result = device_->CeSetFileTime(handle, given[0] ? &times[0] : nullptr, given[1] ? &times[1] : nullptr,
                                             given[2] ? &times[2] : nullptr);
        lastErrorAnd(result);
        break;
    }
    case RapiCall::DeleteFile:
    case RapiCall::RemoveDirectory:
    case RapiCall::CreateDirectory: {
        std::string path = pathText();
        if (v1 && *call == RapiCall::CreateDirectory)
            in.optional();
        if (!in.ok())
            return std::nullopt;
        BOOL result = *call == RapiCall::DeleteFile        ? device_->CeDeleteFile(path)
                      : *call == RapiCall::RemoveDirectory ? device_->CeRemoveDirectory(path)
                                                           : device_->CeCreateDirectory(path);
        lastErrorAnd(result);
        break;
    }
    case RapiCall::MoveFile:
    case RapiCall::CopyFile: {
        std::string from = pathText();
        std::string to = pathText();
        BOOL failIfExists = *call == RapiCall::CopyFile ? static_cast<BOOL>(in.u32()) : FALSE;
        if (!in.ok())
            return std::nullopt;
        BOOL result = *call == RapiCall::MoveFile ? device_->CeMoveFile(from, to)
                                                  : device_->CeCopyFile(from, to, failIfExists);
        lastErrorAnd(result);
        break;
    }
    case RapiCall::GetStoreInformation: {
        if (v1)
            in.optional();
        if (!in.ok())
            return std::nullopt;
        STORE_INFORMATION info;
        BOOL result = device_->CeGetStoreInformation(info);
        lastErrorAnd(result);
        if (v1)
            out.u32(1).u32(8).u32(1);
        out.u32(info.dwStoreSize).u32(info.dwFreeSize);
        break;
    }
    case RapiCall::GetDiskFreeSpaceEx: {
        std::string path = text();
        if (!in.ok())
            return std::nullopt;
        // The simulated handheld's cards are the device's card figures; any other
        // folder is on the main store.
        uint64_t total = 0, free = 0;
        BOOL result = FALSE;
        std::string lower = path;
        std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
        if (lower == "\\storage card") {
            uint32_t words[5] = {};
            result = device_->GetSpaceOnCards(words);
            total = (uint64_t{words[1]} << 32) | words[2];
            free = (uint64_t{words[3]} << 32) | words[4];
            result = result && total > 0;
        } else {
            STORE_INFORMATION info;
            result = device_->CeGetStoreInformation(info);
            total = info.dwStoreSize;
            free = info.dwFreeSize;
        }
        out.u32(result ? 0 : ERROR_PATH_NOT_FOUND).u32(result);
        for (uint64_t value : {free, total, free})
            out.u32(static_cast<uint32_t>(value)).u32(static_cast<uint32_t>(value >> 32));
        break;
    }
    case RapiCall::RegOpenKeyEx:
    case RapiCall::RegCreateKeyEx: {
        HKEY root = in.u32();
        std::string subKey = text();
        std::optional<std::string> keyClass;
        if (*call == RapiCall::RegCreateKeyEx)
            keyClass = v1 ? in.text1() : in.text2();
        if (!in.ok())
            return std::nullopt;
        HKEY key = 0;
        DWORD disposition = 0;
        LONG code = *call == RapiCall::RegOpenKeyEx
                        ? device_->CeRegOpenKeyEx(root, subKey, key)
                        : device_->CeRegCreateKeyEx(root, subKey, keyClass, key, &disposition);
        lastErrorAnd(static_cast<uint32_t>(code));
        if (code == 0) {
            if (!Predefined(key))
                keys_.insert(key);
            out.u32(key);
            if (*call == RapiCall::RegCreateKeyEx)
                out.u32(disposition);
        }
        break;
    }
    case RapiCall::RegQueryValueEx: {
        HKEY key = in.u32();
        std::string name;
        uint32_t room = 0;
        if (v1) {
            name = in.optionalText().value_or("");
            in.optional();
            in.optional();
            in.optional(&room);
            auto size = in.optional();
            if (size && size->size() == 4)
                room = platform::ReadLE32(size->data());
        } else {
            name = text();
            room = in.u32();
        }
        if (!in.ok())
            return std::nullopt;
        std::optional<RegistryValue> value;
        LONG code = device_->CeRegQueryValueEx(key, name, value);
        Bytes data = value ? RegistryValueBytes(*value) : Bytes{};
        if (code == 0 && data.size() > room)
            code = 234; // ERROR_MORE_DATA
        lastErrorAnd(static_cast<uint32_t>(code));
        if (code == 0) {
            uint32_t type = RegistryValueType(*value);
            if (v1) {
                out.u32(1).u32(4).u32(1).u32(type);
                out.optionalIn(data.data(), data.size());
                out.u32(1).u32(4).u32(1).u32(static_cast<uint32_t>(data.size()));
            } else {
                out.u32(type).u32(static_cast<uint32_t>(data.size())).raw(data);
            }
        }
        break;
    }
    case RapiCall::RegSetValueEx: {
        HKEY key = in.u32();
        std::string name = pathText();
        uint32_t type = in.u32();
        Bytes data;
        if (v1) {
            data = in.optional().value_or(Bytes{});
            in.u32();
        } else {
            uint32_t size = in.u32();
            if (size > in.left())
                return std::nullopt;
            data = in.bytes(size);
        }
        if (!in.ok())
            return std::nullopt;
        auto value = RegistryValueFrom(type, data);
        LONG code = value ? device_->CeRegSetValueEx(key, name, *value) : static_cast<LONG>(ERROR_INVALID_PARAMETER);
        lastErrorAnd(static_cast<uint32_t>(code));
        break;
    }
    case RapiCall::RegCloseKey: {
        HKEY key = in.u32();
        if (!in.ok())
            return std::nullopt;
        LONG code = device_->CeRegCloseKey(key);
        if (code == 0)
            keys_.erase(key);
        lastErrorAnd(static_cast<uint32_t>(code));
        break;
    }
    case RapiCall::RapiInvoke: {
        in.u32(); // reserved
        std::string dll = text();
        std::string function = text();
        uint32_t count = in.u32();
        if (!in.ok() || count > in.left())
            return std::nullopt;
        Bytes input = in.bytes(count);
        in.u32(); // stream or buffers
        if (!in.ok())
            return std::nullopt;
        DWORD outputCount = 0;
        uint8_t* output = nullptr;
        int32_t code = device_->CeRapiInvoke(dll, function, count, input.data(), &outputCount, &output);
        lastErrorAnd(static_cast<uint32_t>(code));
        out.u32(outputCount).raw(output, output ? outputCount : 0);
        device_->CeRapiFreeBuffer(output);
        if (v1)
            extra.push_back(RapiWriter().u32(0).take());
        break;
    }
    }
    std::vector<Bytes> frames{out.take()};
    for (auto& frame : extra)
        frames.push_back(std::move(frame));
    return frames;
}

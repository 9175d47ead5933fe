#include "pavrixwm/LinkDevice.h"

#include "platform/LittleEndian.h"

#include <cstring>

namespace {

constexpr LONG kNotConnected = static_cast<LONG>(ERROR_DEVICE_NOT_CONNECTED);
// Registry values are read into room of this size; larger ones are refused.
constexpr DWORD kRegistryRoom = 64 * 1024;
constexpr DWORD ERROR_NOT_SUPPORTED = 50;

} // namespace

LinkDevice::LinkDevice(std::shared_ptr<LinkManager> link) : link_(std::move(link)) {}

LinkDevice::~LinkDevice()
{
    for (uint8_t* block : replyBlocks_)
        delete[] block;
}

const RapiClientCodec* LinkDevice::connect()
{
    if (session_ && (session_->generation != link_->generation() || !session_->channel.open())) {
        session_.reset();
        codec_.reset();
    }
    if (!session_) {
        session_ = link_->openSession(kCallTimeout);
        if (session_)
            codec_.emplace(session_->dialect);
    }
    if (!session_) {
        lastError_ = ERROR_DEVICE_NOT_CONNECTED;
        return nullptr;
    }
    return &*codec_;
}

std::optional<LinkDevice::Bytes> LinkDevice::exchange(const Bytes& request)
{
    auto& channel = session_->channel;
    std::optional<Bytes> reply;
    if (channel.send(request, kCallTimeout))
        reply = channel.receive(kCallTimeout);
    // The older dialect answers an invocation with a second message of its own.
    bool invocation = request.size() >= 4 && platform::ReadLE32(request.data()) ==
                                                 RapiCommandId(RapiDialect::Rapi1, RapiCall::RapiInvoke);
    if (reply && codec_->dialect() == RapiDialect::Rapi1 && invocation && !channel.receive(kCallTimeout))
        reply.reset();
    if (!reply) {
        session_.reset();
        codec_.reset();
        lastError_ = ERROR_DEVICE_NOT_CONNECTED;
    }
    return reply;
}

void LinkDevice::malformed()
{
    session_.reset();
    codec_.reset();
    lastError_ = ERROR_GEN_FAILURE;
}

BOOL LinkDevice::outcome(bool decoded, const RapiStatus& status, bool succeeded)
{
    if (!decoded) {
        malformed();
        return FALSE;
    }
    if (status.refused || !succeeded) {
        lastError_ = status.lastError;
        return FALSE;
    }
    return TRUE;
}

LONG LinkDevice::registryOutcome(bool decoded, const RapiStatus& status)
{
    if (!decoded) {
        malformed();
        return static_cast<LONG>(ERROR_GEN_FAILURE);
    }
    if (status.refused)
        return static_cast<LONG>(status.lastError);
    return static_cast<LONG>(status.result);
}

std::map<std::string, std::string> LinkDevice::describe(const LinkDeviceInfo& info)
{
    std::map<std::string, std::string> out;
    out["DeviceClass"] = info.platformNames.empty() ? "PocketPC" : info.platformNames.front();
    out["DeviceName"] = info.name;
    out["DeviceModel"] = info.modelName;
    return out;
}

std::map<std::string, std::string> LinkDevice::description()
{
    auto info = link_->deviceInfo();
    return info ? describe(*info) : std::map<std::string, std::string>{};
}

BOOL LinkDevice::CeFindAllFiles(const std::string& path, DWORD flags, std::vector<RapiFindData>& findData)
{
    std::lock_guard lock(mutex_);
    const RapiClientCodec* codec = nullptr;
    auto reply = ask(codec, [&](const RapiClientCodec& c) { return c.findAllFiles(path, flags); });
    if (!reply)
        return FALSE;
    RapiStatus status;
    bool decoded = codec->findAllFilesReply(*reply, flags, status, findData);
    return outcome(decoded, status, status.result != 0);
}

HANDLE LinkDevice::CeCreateFile(const std::string& path, DWORD desiredAccess, DWORD sharingMode,
                                DWORD creationDisposition, DWORD flagsAndAttributes)
{
    std::lock_guard lock(mutex_);
    const RapiClientCodec* codec = nullptr;
    auto reply = ask(codec, [&](const RapiClientCodec& c) { return c.createFile(path, desiredAccess, sharingMode, creationDisposition, flagsAndAttributes); });
    if (!reply)
        return INVALID_HANDLE_VALUE;
    RapiStatus status;
    bool decoded = codec->status(*reply, status);
    return outcome(decoded, status, status.result != INVALID_HANDLE_VALUE) ? status.result : INVALID_HANDLE_VALUE;
}

BOOL LinkDevice::CeReadFile(HANDLE handle, uint8_t* buffer, DWORD bytesToRead, DWORD& bytesRead)
{
    std::lock_guard lock(mutex_);
    bytesRead = 0;
    while (bytesRead < bytesToRead) {
        auto codec = connect();
        if (!codec)
            return FALSE;
        DWORD ask = std::min(kChunk, bytesToRead - bytesRead);
        auto reply = exchange(codec->readFile(handle, ask));
        if (!reply)
            return FALSE;
        RapiStatus status;
        DWORD got = 0;
        bool decoded = codec->readFileReply(*reply, status, buffer + bytesRead, ask, got);
        if (!outcome(decoded, status, status.result != 0))
            return FALSE;
        bytesRead += got;
        if (got < ask)
            break; // the end of the file
    }
    return TRUE;
}

BOOL LinkDevice::CeWriteFile(HANDLE handle, const uint8_t* buffer, DWORD bytesToWrite, DWORD& bytesWritten)
{
    std::lock_guard lock(mutex_);
    bytesWritten = 0;
    do {
        auto codec = connect();
        if (!codec)
            return FALSE;
        DWORD count = std::min(kChunk, bytesToWrite - bytesWritten);
        auto reply = exchange(codec->writeFile(handle, buffer + bytesWritten, count));
        if (!reply)
            return FALSE;
        RapiStatus status;
        DWORD taken = 0;
        bool decoded = codec->writeFileReply(*reply, status, taken);
        // The handheld cannot have taken more than it was given.
        if (!outcome(decoded && taken <= count, status, status.result != 0))
            return FALSE;
        bytesWritten += taken;
        if (taken < count)
            break;
    } while (bytesWritten < bytesToWrite);
    return TRUE;
}

DWORD LinkDevice::CeSetFilePointer(HANDLE handle, LONG distanceToMove, LONG* distanceToMoveHigh, DWORD moveMethod)
{
    std::lock_guard lock(mutex_);
    const RapiClientCodec* codec = nullptr;
    auto reply = ask(codec, [&](const RapiClientCodec& c) { return c.setFilePointer(handle, distanceToMove, distanceToMoveHigh, moveMethod); });
    if (!reply)
        return INVALID_SET_FILE_POINTER;
    RapiStatus status;
    bool decoded = codec->setFilePointerReply(*reply, status, distanceToMoveHigh);
    // INVALID_SET_FILE_POINTER is also a valid position: only a code tells failure.
    bool failed = status.result == INVALID_SET_FILE_POINTER && status.lastError != 0;
    return outcome(decoded, status, !failed) ? status.result : INVALID_SET_FILE_POINTER;
}

BOOL LinkDevice::CeCloseHandle(HANDLE handle)
{
    std::lock_guard lock(mutex_);
    const RapiClientCodec* codec = nullptr;
    auto reply = ask(codec, [&](const RapiClientCodec& c) { return c.closeHandle(handle); });
    if (!reply)
        return FALSE;
    RapiStatus status;
    bool decoded = codec->status(*reply, status);
    return outcome(decoded, status, status.result != 0);
}

BOOL LinkDevice::CeSetFileTime(HANDLE handle, const FILETIME* creationTime, const FILETIME* lastAccessTime,
                               const FILETIME* lastWriteTime)
{
    std::lock_guard lock(mutex_);
    auto codec = connect();
    if (!codec)
        return FALSE;
    if (!codec->supports(RapiCall::SetFileTime)) {
        lastError_ = ERROR_NOT_SUPPORTED;
        return FALSE;
    }
    auto reply = exchange(codec->setFileTime(handle, creationTime, lastAccessTime, lastWriteTime));
    if (!reply)
        return FALSE;
    RapiStatus status;
    bool decoded = codec->status(*reply, status);
    return outcome(decoded, status, status.result != 0);
}

DWORD LinkDevice::CeGetLastError()
{
    std::lock_guard lock(mutex_);
    return lastError_;
}

#define LINK_SIMPLE_CALL(request)                                                                                      \
    std::lock_guard lock(mutex_);                                                                                      \
    const RapiClientCodec* codec = nullptr;                                                                            \
    auto reply = ask(codec, [&](const RapiClientCodec& c) { return c.request; });                                     \
    if (!reply)                                                                                                        \
        return FALSE;                                                                                                  \
    RapiStatus status;                                                                                                 \
    bool decoded = codec->status(*reply, status);                                                                      \
    return outcome(decoded, status, status.result != 0)

BOOL LinkDevice::CeDeleteFile(const std::string& path) { LINK_SIMPLE_CALL(deleteFile(path)); }
BOOL LinkDevice::CeRemoveDirectory(const std::string& path) { LINK_SIMPLE_CALL(removeDirectory(path)); }
BOOL LinkDevice::CeCreateDirectory(const std::string& path) { LINK_SIMPLE_CALL(createDirectory(path)); }
BOOL LinkDevice::CeMoveFile(const std::string& existingFileName, const std::string& newFileName)
{
    LINK_SIMPLE_CALL(moveFile(existingFileName, newFileName));
}
BOOL LinkDevice::CeCopyFile(const std::string& existingFileName, const std::string& newFileName, BOOL failIfExists)
{
    LINK_SIMPLE_CALL(copyFile(existingFileName, newFileName, failIfExists));
}
#undef LINK_SIMPLE_CALL

BOOL LinkDevice::CeGetStoreInformation(STORE_INFORMATION& storeInformation)
{
    std::lock_guard lock(mutex_);
    const RapiClientCodec* codec = nullptr;
    auto reply = ask(codec, [&](const RapiClientCodec& c) { return c.getStoreInformation(); });
    if (!reply)
        return FALSE;
    RapiStatus status;
    bool decoded = codec->storeInformationReply(*reply, status, storeInformation);
    if (!outcome(decoded, status, status.result != 0)) {
        storeInformation = {};
        return FALSE;
    }
    return TRUE;
}

BOOL LinkDevice::GetSpaceOnCards(uint32_t words[5])
{
    std::lock_guard lock(mutex_);
    auto codec = connect();
    if (!codec)
        return FALSE;
    // The cards' space is asked of the usual card folder; the older dialect has no
    // known layout for that, so it reports none.
    if (!codec->supports(RapiCall::GetDiskFreeSpaceEx)) {
        lastError_ = ERROR_NOT_SUPPORTED;
        return FALSE;
    }
    auto reply = exchange(codec->getDiskFreeSpaceEx("\\Storage Card"));
    if (!reply)
        return FALSE;
    RapiStatus status;
    uint64_t total = 0, free = 0;
    bool decoded = codec->diskFreeSpaceReply(*reply, status, total, free);
    if (!decoded) {
        malformed();
        return FALSE;
    }
    // No card is no error: the words stay zero.
    if (status.result != 0 && total > 0)
        CardSpaceWords(words, total, free);
    return TRUE;
}

LONG LinkDevice::CeRegOpenKeyEx(HKEY root, const std::string& subKey, HKEY& result)
{
    std::lock_guard lock(mutex_);
    const RapiClientCodec* codec = nullptr;
    auto reply = ask(codec, [&](const RapiClientCodec& c) { return c.regOpenKeyEx(root, subKey); });
    if (!reply)
        return kNotConnected;
    RapiStatus status;
    HKEY key = 0;
    bool decoded = codec->regKeyReply(*reply, status, key, nullptr);
    LONG code = registryOutcome(decoded, status);
    if (code == 0)
        result = key;
    return code;
}

LONG LinkDevice::CeRegCreateKeyEx(HKEY root, const std::string& subKey, const std::optional<std::string>& keyClass,
                                  HKEY& result, DWORD* disposition)
{
    std::lock_guard lock(mutex_);
    const RapiClientCodec* codec = nullptr;
    auto reply = ask(codec, [&](const RapiClientCodec& c) { return c.regCreateKeyEx(root, subKey, keyClass); });
    if (!reply)
        return kNotConnected;
    RapiStatus status;
    HKEY key = 0;
    DWORD made = 0;
    bool decoded = codec->regKeyReply(*reply, status, key, &made);
    LONG code = registryOutcome(decoded, status);
    if (code == 0) {
        result = key;
        if (disposition)
            *disposition = made;
    }
    return code;
}

LONG LinkDevice::CeRegQueryValueEx(HKEY key, const std::string& valueName, std::optional<RegistryValue>& value)
{
    std::lock_guard lock(mutex_);
    const RapiClientCodec* codec = nullptr;
    auto reply = ask(codec, [&](const RapiClientCodec& c) { return c.regQueryValueEx(key, valueName, kRegistryRoom); });
    if (!reply)
        return kNotConnected;
    RapiStatus status;
    std::optional<RegistryValue> got;
    bool decoded = codec->regQueryValueReply(*reply, status, got);
    LONG code = registryOutcome(decoded, status);
    if (code == 0)
        value = std::move(got);
    return code;
}

LONG LinkDevice::CeRegSetValueEx(HKEY key, const std::string& valueName, const RegistryValue& value)
{
    std::lock_guard lock(mutex_);
    const RapiClientCodec* codec = nullptr;
    auto reply = ask(codec, [&](const RapiClientCodec& c) { return c.regSetValueEx(key, valueName, value); });
    if (!reply)
        return kNotConnected;
    RapiStatus status;
    return registryOutcome(codec->status(*reply, status), status);
}

LONG LinkDevice::CeRegCloseKey(HKEY key)
{
    std::lock_guard lock(mutex_);
    const RapiClientCodec* codec = nullptr;
    auto reply = ask(codec, [&](const RapiClientCodec& c) { return c.regCloseKey(key); });
    if (!reply)
        return kNotConnected;
    RapiStatus status;
    return registryOutcome(codec->status(*reply, status), status);
}

int32_t LinkDevice::CeRapiInvoke(const std::string& dll, const std::string& functionName, DWORD inputCount,
                                 const uint8_t* input, DWORD* outputCount, uint8_t** output)
{
    std::lock_guard lock(mutex_);
    const RapiClientCodec* codec = nullptr;
    auto reply = ask(codec, [&](const RapiClientCodec& c) { return c.rapiInvoke(dll, functionName, input, inputCount); });
    if (!reply)
        return kNotConnected;
    RapiStatus status;
    Bytes block;
    bool decoded = codec->rapiInvokeReply(*reply, status, block);
    int32_t code = registryOutcome(decoded, status);
    if (outputCount && output && decoded && !status.refused && !block.empty()) {
        auto* copy = new uint8_t[block.size()];
        std::memcpy(copy, block.data(), block.size());
        replyBlocks_.insert(copy);
        *output = copy;
        *outputCount = static_cast<DWORD>(block.size());
    }
    return code;
}

void LinkDevice::CeRapiFreeBuffer(uint8_t* buffer)
{
    std::lock_guard lock(mutex_);
    if (replyBlocks_.erase(buffer))
        delete[] buffer;
}

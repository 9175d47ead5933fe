#include "pavrixwm/ReadAll.h"

#include <new>

namespace {

// A seek result of 0xFFFFFFFF is a real position on a file of 4 GiB; only a set
// last error makes it a failure.
bool SeekFailed(DeviceBackend& rapi, DWORD position)
{
    return position == INVALID_SET_FILE_POINTER && rapi.CeGetLastError() != 0;
}

} // namespace

std::optional<uint64_t> SeekToEnd(DeviceBackend& rapi, HANDLE handle)
{
    // The high half is asked for, so that a file of 4 GiB or more is not taken
    // for the few bytes past its last 4 GiB boundary.
    LONG high = 0;
    DWORD low = rapi.CeSetFilePointer(handle, 0, &high, FILE_END);
    if (SeekFailed(rapi, low))
        return std::nullopt;
    return (uint64_t(static_cast<uint32_t>(high)) << 32) | low;
}

bool SeekToOffset(DeviceBackend& rapi, HANDLE handle, uint64_t offset)
{
    if (offset > uint64_t(INT64_MAX))
        return false;
    LONG high = static_cast<LONG>(static_cast<uint32_t>(offset >> 32));
    DWORD low = rapi.CeSetFilePointer(handle, static_cast<LONG>(static_cast<uint32_t>(offset)),
                                      offset >> 32 ? &high : nullptr, FILE_BEGIN);
    return !SeekFailed(rapi, low);
}

std::shared_ptr<platform::ByteBuffer> ReadFromStart(DeviceBackend& rapi, HANDLE handle, uint64_t size)
{
    // One read takes a 32-bit count: a larger file would be read short and
    // answered as if that were all of it.
    if (size > 0xFFFFFFFFull)
        return nullptr;
    std::shared_ptr<platform::ByteBuffer> buffer;
    try {
        // Left unset: the read fills what it returns and the rest is cut off.
        buffer = std::make_shared<platform::ByteBuffer>(static_cast<size_t>(size));
    } catch (const std::bad_alloc&) {
        return nullptr;
    } catch (const std::length_error&) {
        return nullptr;
    }

    if (!SeekToOffset(rapi, handle, 0))
        return nullptr;

    DWORD bytesRead = 0;
    if (!rapi.CeReadFile(handle, buffer->data(), static_cast<DWORD>(size), bytesRead))
        return nullptr;
    buffer->resize(bytesRead < size ? bytesRead : static_cast<size_t>(size));
    return buffer;
}

std::shared_ptr<platform::ByteBuffer> readAll(DeviceBackend& rapi, HANDLE handle)
{
    auto size = SeekToEnd(rapi, handle);
    if (!size)
        return nullptr;
    return ReadFromStart(rapi, handle, *size);
}

#include "extras/ReadAll.h"

#include <new>

namespace {

// A seek result of 0xFFFFFFFF is a real position on a file of 4 GiB; only a set
// last error makes it a failure.
bool SeekFailed(Rapi& rapi, DWORD position)
{
    return position == INVALID_SET_FILE_POINTER && rapi.CeGetLastError() != 0;
}

} // namespace

std::shared_ptr<platform::ByteBuffer> readAll(Rapi& rapi, HANDLE handle)
{
    DWORD size = rapi.CeSetFilePointer(handle, 0, nullptr, FILE_END);
    if (SeekFailed(rapi, size))
        return nullptr;

    std::shared_ptr<platform::ByteBuffer> buffer;
    try {
        // Left unset: the read fills what it returns and the rest is cut off.
        buffer = std::make_shared<platform::ByteBuffer>(size);
    } catch (const std::bad_alloc&) {
        return nullptr;
    } catch (const std::length_error&) {
        return nullptr;
    }

    if (SeekFailed(rapi, rapi.CeSetFilePointer(handle, 0, nullptr, FILE_BEGIN)))
        return nullptr;

    DWORD bytesRead = 0;
    if (!rapi.CeReadFile(handle, buffer->data(), size, bytesRead))
        return nullptr;
    buffer->resize(bytesRead < size ? bytesRead : size);
    return buffer;
}

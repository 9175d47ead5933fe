#include "device/DeviceFileStore.h"

#include "device/LogDescriptions.h"
#include "log/LogClient.h"
#include "platform/BodyStream.h"

#include <algorithm>

namespace {

std::vector<std::string> SplitAt(const std::string& text, char separator)
{
    std::vector<std::string> pieces;
    size_t start = 0;
    for (;;) {
        size_t end = text.find(separator, start);
        pieces.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos)
            return pieces;
        start = end + 1;
    }
}

} // namespace

HANDLE DeviceFileStore::openForUpload(const std::string& uri)
{
    auto path = uriToLocal(uri);
    if (path && gLogDebug) {
        auto items = SplitAt(*path, '\\');
        const std::string& last = items.back();
        size_t dot = last.find('.');
        int dotLength = dot == std::string::npos ? 0 : 1;
        int dotPosition = dot == std::string::npos ? -1 : static_cast<int>(dot);
        LogWithDate("putData - pathItems: %@ %d %d", DescribeList(items).c_str(), dotLength, dotPosition);
        if (!last.empty() && last.front() == '.')
            LogWithDate("putData - starts with a .");
    }
    clearFindCache();
    if (!path)
        return INVALID_HANDLE_VALUE;
    return rapi->CeCreateFile(*path, GENERIC_WRITE, 0, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL);
}

bool DeviceFileStore::putDataFromFile(const std::string& uri, platform::BodyStream& clientFile, int64_t length)
{
    HANDLE handle = openForUpload(uri);
    if (handle == INVALID_HANDLE_VALUE)
        return false;

    // One chunk in memory at a time, read straight from the client and written
    // before the next is read.
    bool result = clientFile.copyInBlocks(kWriteChunk, [&](const uint8_t* chunk, size_t size) {
        DWORD offset = 0;
        while (offset < size) {
            DWORD written = 0;
            // A write that takes nothing would never finish the chunk.
            if (!rapi->CeWriteFile(handle, chunk + offset, static_cast<DWORD>(size) - offset, written) ||
                written == 0)
                return false;
            offset += std::min(written, static_cast<DWORD>(size) - offset);
        }
        return true;
    });

    rapi->CeCloseHandle(handle);
    if (gLogDebug)
        LogWithDate("Write %ld - result: %d", static_cast<long>(length >= 0 ? length : int64_t(clientFile.bytesRead())),
                    result ? 1 : 0);
    return result;
}

bool DeviceFileStore::putData(const DataPtr& data, const std::string& withUri)
{
    HANDLE handle = openForUpload(withUri);
    if (handle == INVALID_HANDLE_VALUE)
        return false;

    size_t length = data ? data->size() : 0;
    size_t offset = 0;
    size_t remaining = length;
    bool result = false;
    while (remaining > 0) {
        DWORD size = static_cast<DWORD>(std::min<size_t>(kWriteChunk, remaining));
        DWORD written = 0;
        if (!rapi->CeWriteFile(handle, data->data() + offset, size, written) || written == 0) {
            result = false;
            break;
        }
        result = true;
        written = std::min(written, size);
        offset += written;
        remaining -= written;
    }

    rapi->CeCloseHandle(handle);
    if (gLogDebug)
        LogWithDate("Write %ld - result: %d", static_cast<long>(length), result ? 1 : 0);
    return result;
}

int DeviceFileStore::delete_(const std::string& uri)
{
    auto path = uriToLocal(uri);
    clearFindCache();
    if (!path)
        return 422;
    if (rapi->CeDeleteFile(*path))
        return 204;
    // Not a file: perhaps an empty folder.
    return rapi->CeRemoveDirectory(*path) ? 204 : 422;
}

int DeviceFileStore::move(const std::string& uri, const std::optional<std::string>& to)
{
    auto destination = to ? uriToLocal(*to) : std::nullopt;
    auto source = uriToLocal(uri);
    clearFindCache();
    if (!source || !destination)
        return 412;
    return rapi->CeMoveFile(*source, *destination) ? 201 : 412;
}

int DeviceFileStore::mkCollection(const std::string& uri)
{
    clearFindCache();
    auto path = uriToLocal(uri);
    if (!path)
        return 405;
    return rapi->CeCreateDirectory(*path) ? 201 : 405;
}

#include "device/DeviceFileStore.h"

#include "extras/ReadAll.h"
#include "log/LogClient.h"

DataSource::DataPtr gCachedFile;
std::optional<std::string> gCachedFileName;
std::optional<std::chrono::system_clock::time_point> gCachedFileDate;

namespace {

void ForgetReadCache()
{
    gCachedFile.reset();
    gCachedFileName.reset();
    gCachedFileDate.reset();
}

} // namespace

void DeviceFileStore::dropExpiredReadCache()
{
    if (gCachedFileDate && std::chrono::system_clock::now() - *gCachedFileDate >= kReadCacheLife)
        ForgetReadCache();
}

DataSource::DataPtr DeviceFileStore::getData(const std::string& uri)
{
    auto now = std::chrono::system_clock::now();
    if (gCachedFileName && *gCachedFileName == uri && gCachedFile && gCachedFileDate &&
        now - *gCachedFileDate < kReadCacheLife)
        return gCachedFile;
    ForgetReadCache();

    std::string path = devicePathForRead(uri);
    HANDLE handle = rapi->CeCreateFile(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
    if (handle != INVALID_HANDLE_VALUE) {
        DataPtr contents = readAll(*rapi, handle);
        rapi->CeCloseHandle(handle);
        // A file that opened but could not be read is not answered as empty: the
        // client would take the missing contents for the file's.
        if (!contents)
            RaiseDAVNotFound();
        if (contents->size() <= kReadCacheMaxBytes) {
            // The contents are never changed once read, so the cache shares them.
            gCachedFile = contents;
            gCachedFileName = uri;
            gCachedFileDate = std::chrono::system_clock::now();
        }
        return contents;
    }

    if (isDirectory(uri))
        return std::make_shared<Data>();
    DWORD error = rapi->CeGetLastError();
    if (error == ERROR_SHARING_VIOLATION)
        RaiseDAVBusy();
    if (gLogDebug)
        LogWithDate("getData CECreateFile, CeGetLastError = %d", static_cast<int>(error));
    RaiseDAVNotFound();
}


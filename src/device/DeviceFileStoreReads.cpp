#include "device/DeviceFileStore.h"

#include "log/LogClient.h"
#include "pavrixwm/ReadAll.h"
#include "platform/ByteBuffer.h"
#include "platform/SocketStream.h"

namespace {

bool NamesScratch(const std::string& devicePath)
{
    size_t cut = devicePath.rfind('\\');
    return DeviceFileStore::IsScratchName(cut == std::string::npos ? devicePath : devicePath.substr(cut + 1));
}

// A device file open for reading in pieces: closed when the last piece is sent
// (or the answer given up). The first read starts from the beginning unless a
// seek chose another place, so a whole answer costs no extra seek.
struct OpenDeviceFile {
    OpenDeviceFile(DeviceBackend& rapi, HANDLE handle) : rapi(rapi), handle(handle) {}
    ~OpenDeviceFile() { rapi.CeCloseHandle(handle); }
    OpenDeviceFile(const OpenDeviceFile&) = delete;
    OpenDeviceFile& operator=(const OpenDeviceFile&) = delete;

    DeviceBackend& rapi;
    HANDLE handle;
    bool positioned = false;
    platform::ByteBuffer piece; // one piece's bytes, kept for the next

    // One piece from the current position, sent on to the client; the file is
    // positioned at its start before the first.
    size_t sendTo(platform::SocketStream& out, size_t count)
    {
        if (!positioned && !(positioned = SeekToOffset(rapi, handle, 0)))
            return 0;
        DWORD ask = static_cast<DWORD>(std::min<size_t>(count, DeviceFileStore::kReadPiece));
        if (piece.size() < ask)
            piece.resize(ask);
        DWORD read = 0;
        if (!rapi.CeReadFile(handle, piece.data(), ask, read))
            return 0;
        read = std::min(read, ask);
        out.write(piece.data(), read);
        return read;
    }
    bool seek(uint64_t offset) { return positioned = SeekToOffset(rapi, handle, offset); }
};

} // namespace

bool DeviceFileStore::readCacheHolds(const std::string& uri) const
{
    return cachedFile && cachedFileName && *cachedFileName == uri && cacheNow() - cachedFileDate < kReadCacheLife;
}

void DeviceFileStore::fillReadCache(const DataPtr& contents, const std::string& uri)
{
    if (contents->size() > kReadCacheMaxBytes)
        return;
    // The contents are never changed once read, so the cache shares them.
    cachedFile = contents;
    cachedFileName = uri;
    cachedFileDate = cacheNow();
}

void DeviceFileStore::forgetReadCache()
{
    cachedFile.reset();
    cachedFileName.reset();
}

void DeviceFileStore::forgetReadCacheOf(const std::string& uri)
{
    if (cachedFileName && *cachedFileName == uri)
        forgetReadCache();
}

void DeviceFileStore::releaseIdleMemory()
{
    if (cachedFile && cacheNow() - cachedFileDate >= kReadCacheLife)
        forgetReadCache();
}

void DeviceFileStore::forgetBeforeChange()
{
    // One entry each: emptying them is cheaper than working out what a change
    // (a folder moved, a file replaced) reaches.
    clearFindCache();
    forgetReadCache();
    spaceMemo.reset();
}

HANDLE DeviceFileStore::openToRead(const std::string& uri)
{
    std::string path = devicePathForRead(uri);
    // An upload's scratch file is no resource of its own.
    if (NamesScratch(path))
        RaiseDAVNotFound();
    return rapi.CeCreateFile(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
}

DataSource::DataPtr DeviceFileStore::getData(const std::string& uri)
{
    if (readCacheHolds(uri))
        return cachedFile;
    forgetReadCache();

    HANDLE handle = openToRead(uri);
    if (handle == INVALID_HANDLE_VALUE)
        return answerForFailedOpen(uri);
    DataPtr contents = readAll(rapi, handle);
    rapi.CeCloseHandle(handle);
    // A file that opened but could not be read is not answered as empty: the
    // client would take the missing contents for the file's.
    if (!contents)
        RaiseDAVNotFound();
    fillReadCache(contents, uri);
    return contents;
}

DataSource::DataFilePtr DeviceFileStore::getDataFile(const std::string& uri)
{
    if (readCacheHolds(uri))
        return std::make_unique<DataFile>(cachedFile);
    forgetReadCache();

    HANDLE handle = openToRead(uri);
    if (handle == INVALID_HANDLE_VALUE)
        return std::make_unique<DataFile>(answerForFailedOpen(uri));
    auto file = std::make_shared<OpenDeviceFile>(rapi, handle);
    auto size = SeekToEnd(rapi, handle);
    if (!size)
        RaiseDAVNotFound();
    if (*size <= kWholeReadMax) {
        // The same calls as a whole read: one seek back, one read.
        DataPtr contents = ReadFromStart(rapi, handle, *size);
        file.reset();
        if (!contents)
            RaiseDAVNotFound();
        fillReadCache(contents, uri);
        return std::make_unique<DataFile>(contents);
    }
    return std::make_unique<DataFile>([file](uint64_t offset) { return file->seek(offset); },
                                      [file](platform::SocketStream& out, size_t count) { return file->sendTo(out, count); },
                                      *size);
}

DataSource::DataPtr DeviceFileStore::answerForFailedOpen(const std::string& uri)
{
    if (isDirectory(uri))
        return std::make_shared<Data>();
    DWORD error = rapi.CeGetLastError();
    if (error == ERROR_SHARING_VIOLATION)
        RaiseDAVBusy();
    if (gLogDebug)
        LogWithDate("getData CECreateFile, CeGetLastError = %d", static_cast<int>(error));
    RaiseDAVNotFound();
}

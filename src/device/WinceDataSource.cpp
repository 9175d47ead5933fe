#include "device/WinceDataSource.h"

#include "datasource/HrefEscaping.h"
#include "device/Metafile.h"
#include "extras/ReadAll.h"
#include "log/LogClient.h"
#include "platform/CalendarDate.h"
#include "platform/HomeFolder.h"
#include "platform/BodyStream.h"
#include "platform/TextEncoding.h"

#include <algorithm>
#include <cstdio>

DataSource::DataPtr gCachedFile;
std::optional<std::string> gCachedFileName;
std::optional<std::chrono::system_clock::time_point> gCachedFileDate;

namespace {

using platform::TextEncoding;

std::shared_ptr<WinceDataSource> gDataSource;

constexpr DWORD kListingMask = 0xBF; // attributes, the three times, size, name
constexpr DWORD kFindMask = 0x3B;    // attributes, creation and write time, size
constexpr const char* kCollection = "<D:collection/>";
constexpr const char* kRootContentLength = "5";

std::string DescribeList(const std::vector<std::string>& items)
{
    std::string text = "(";
    for (size_t i = 0; i < items.size(); ++i)
        text += (i ? ", " : "") + items[i];
    return text + ")";
}

std::string DescribeFinds(const std::vector<RapiFindData>& entries)
{
    std::vector<std::string> names;
    for (const auto& entry : entries)
        names.push_back(entry.filename);
    return DescribeList(names);
}

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

// The byte rule of hrefs: printable ASCII stays, except the characters that mean
// something in a URI or in XML; every other byte is written as "%" and its value
// in uppercase hexadecimal.
// A device name can hold neither "*" nor "?"; in a find they would make a
// pattern, and the find would answer for some other entry.
bool NamesPattern(const std::string& devicePath)
{
    size_t cut = devicePath.rfind('\\');
    std::string last = cut == std::string::npos ? devicePath : devicePath.substr(cut + 1);
    return last.find_first_of("*?") != std::string::npos;
}

} // namespace

WinceDataSource::WinceDataSource()
    : WinceDataSource(std::make_shared<Rapi>(), platform::ExpandTilde(kMirrorDirectory))
{
}

WinceDataSource::WinceDataSource(std::shared_ptr<Rapi> rapi, const std::string& mirrorRoot)
    : rapi(std::move(rapi)), mirroredDS(std::make_shared<UnixMirroredFSDataSource>(mirrorRoot))
{
}

std::shared_ptr<DataSource> WinceDataSource::defaultDataSource()
{
    if (!gDataSource)
        gDataSource = std::make_shared<WinceDataSource>();
    return gDataSource;
}

const PropertyHandlerTable& WinceDataSource::classPropertyHandlers()
{
    using Self = WinceDataSource;
    static const PropertyHandlerTable table(
        DataSource::classPropertyHandlers(),
        {
            PropertyHandlerTable::entry<Self>("DAV_resourcetype:", &Self::DAV_resourcetype),
            PropertyHandlerTable::entry<Self>("DAV_getcontentlength:", &Self::DAV_getcontentlength),
            PropertyHandlerTable::entry<Self>("DAV_getcontenttype:", &Self::DAV_getcontenttype),
            PropertyHandlerTable::entry<Self>("DAV_quota:", &Self::DAV_quota),
            PropertyHandlerTable::entry<Self>("DAV_quotaused:", &Self::DAV_quotaused),
        });
    return table;
}

const PropertyHandlerTable& WinceDataSource::propertyHandlers() const { return classPropertyHandlers(); }

// ---------------------------------------------------------------------------
// Listings, the find cache and attributes

DataSource::ChildList WinceDataSource::getChildren(const std::string& uri)
{
    std::string folder = devicePathForRead(uri);
    if (folder.empty() || folder.back() != '\\')
        folder += '\\';

    if (gLogDebug)
        LogWithDate("getChildren - about to RAPI");
    std::vector<RapiFindData> entries;
    rapi->CeFindAllFiles(folder + "*", kListingMask, entries);
    if (gLogDebug)
        LogWithDate("getChildren - done RAPI: %@", DescribeFinds(entries).c_str());

    ChildList children;
    children.reserve(entries.size());
    for (const auto& entry : entries) {
        // Each value is made once and moved in (a braced list would copy them all).
        ChildRecord& record = children.emplace_back();
        record.emplace("name", localToUri(folder + entry.filename));
        record.emplace("creationdate", platform::FormatHTTPDate(entry.creationTime));
        record.emplace("getlastmodified", platform::FormatHTTPDate(entry.lastModTime));
        record.emplace("accesstime", platform::FormatHTTPDate(entry.lastAccessTime));
        record.emplace("attributes", std::to_string(entry.attributes));
        record.emplace("getcontentlength", std::to_string(static_cast<uint32_t>(entry.fileSize)));
        record.emplace("resourcetype", (entry.attributes & FILE_ATTRIBUTE_DIRECTORY) ? kCollection : "");
    }
    for (auto& record : mirroredDS->getChildren(uri))
        children.push_back(std::move(record));
    return children;
}

RapiFindData WinceDataSource::getFindData(const std::string& uri, DWORD /*flags*/)
{
    // One find asks for every field any caller wants, so that all properties of
    // one resource cost one device call.
    if (cachedFindUri && *cachedFindUri == uri && cachedFindData)
        return *cachedFindData;
    clearFindCache();

    auto path = uriToLocalForRead(uri);
    std::vector<RapiFindData> found;
    if (path && !NamesPattern(*path))
        rapi->CeFindAllFiles(*path, kFindMask, found);
    if (!found.empty()) {
        cachedFindData = found.front();
        cachedFindUri = uri;
        return *cachedFindData;
    }
    if (gLogDebug)
        LogWithDate("find: %@ not found", uri.c_str());
    RaiseDAVNotFound();
}

void WinceDataSource::clearFindCache()
{
    cachedFindData.reset();
    cachedFindUri.reset();
}

std::optional<DataSource::Date> WinceDataSource::getCreationDate(const std::string& uri)
{
    if (IsMetafile(uri))
        return mirroredDS->getCreationDate(uri);
    return getFindData(uri, FAF_CREATION_TIME).creationTime;
}

std::optional<DataSource::Date> WinceDataSource::getLastModified(const std::string& uri)
{
    if (IsMetafile(uri))
        return mirroredDS->getLastModified(uri);
    if (isRoot(uri))
        return Date::clock::now();
    return getFindData(uri, FAF_LASTWRITE_TIME).lastModTime;
}

DWORD WinceDataSource::getFileAttributes(const std::string& uri)
{
    if (IsMetafile(uri))
        return 0;
    return getFindData(uri, FAF_ATTRIBUTES).attributes;
}

bool WinceDataSource::isFile(const std::string& uri)
{
    if (isRoot(uri))
        return false;
    return !(getFileAttributes(uri) & FILE_ATTRIBUTE_DIRECTORY);
}

bool WinceDataSource::isDirectory(const std::string& uri)
{
    if (isRoot(uri))
        return true;
    return (getFileAttributes(uri) & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

std::optional<std::string> WinceDataSource::DAV_resourcetype(const std::string& uri)
{
    if (IsMetafile(uri))
        return mirroredDS->DAV_resourcetype(uri);
    return std::string(isFile(uri) ? "" : kCollection);
}

std::optional<std::string> WinceDataSource::DAV_getcontentlength(const std::string& uri)
{
    if (IsMetafile(uri))
        return mirroredDS->DAV_getcontentlength(uri);
    if (isRoot(uri))
        return std::string(kRootContentLength);
    return std::to_string(getFindData(uri, FAF_SIZE_HIGH | FAF_SIZE_LOW).fileSize);
}

std::optional<std::string> WinceDataSource::DAV_getcontenttype(const std::string&) { return std::string("text/html"); }

std::pair<uint64_t, uint64_t> WinceDataSource::deviceSpace()
{
    uint32_t cards[5] = {};
    rapi->GetSpaceOnCards(cards);
    STORE_INFORMATION store;
    rapi->CeGetStoreInformation(store);
    uint64_t total = ((uint64_t(cards[1]) << 32) | cards[2]) + store.dwStoreSize;
    uint64_t free = ((uint64_t(cards[3]) << 32) | cards[4]) + store.dwFreeSize;
    return {total, free};
}

std::optional<std::string> WinceDataSource::DAV_quota(const std::string& uri)
{
    if (IsMetafile(uri))
        return std::string("0");
    return std::to_string(deviceSpace().first / 512);
}

std::optional<std::string> WinceDataSource::DAV_quotaused(const std::string& uri)
{
    if (IsMetafile(uri))
        return std::string("0");
    auto [total, free] = deviceSpace();
    return std::to_string((total - free) / 512);
}

// ---------------------------------------------------------------------------
// Contents and changes

void WinceDataSource::dropExpiredReadCache()
{
    if (gCachedFileDate && std::chrono::system_clock::now() - *gCachedFileDate >= kReadCacheLife) {
        gCachedFile.reset();
        gCachedFileName.reset();
        gCachedFileDate.reset();
    }
}

DataSource::DataPtr WinceDataSource::getData(const std::string& uri)
{
    if (IsMetafile(uri))
        return mirroredDS->getData(uri);

    auto now = std::chrono::system_clock::now();
    if (gCachedFileName && *gCachedFileName == uri && gCachedFile && gCachedFileDate &&
        now - *gCachedFileDate < kReadCacheLife)
        return gCachedFile;
    gCachedFile.reset();
    gCachedFileName.reset();
    gCachedFileDate.reset();

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

HANDLE WinceDataSource::openForUpload(const std::string& uri)
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

DataSource::DataFilePtr WinceDataSource::getDataFile(const std::string& uri)
{
    // A metafile can be of any size: the mirror hands it over as an open file. A
    // device file is read whole, as the device is asked for it in one read.
    if (IsMetafile(uri))
        return mirroredDS->getDataFile(uri);
    return nullptr;
}

bool WinceDataSource::putDataFromFile(const std::string& uri, platform::BodyStream& clientFile, int64_t length)
{
    if (IsMetafile(uri))
        return mirroredDS->putDataFromFile(uri, clientFile, length);

    HANDLE handle = openForUpload(uri);
    if (handle == INVALID_HANDLE_VALUE)
        return false;

    // One chunk in memory at a time, read straight from the client and written
    // before the next is read. A chunk the body ends inside of is not written: the
    // upload has failed, and the device keeps the whole chunks before it.
    bool failed = false;
    std::vector<uint8_t> chunk(kWriteChunk);
    for (;;) {
        DWORD size = static_cast<DWORD>(clientFile.read(chunk.data(), kWriteChunk));
        if (size < kWriteChunk && !clientFile.complete()) {
            failed = true;
            break;
        }
        DWORD offset = 0;
        while (offset < size) {
            DWORD written = 0;
            // A write that takes nothing would never finish the chunk.
            if (!rapi->CeWriteFile(handle, chunk.data() + offset, size - offset, written) || written == 0) {
                failed = true;
                break;
            }
            offset += std::min(written, size - offset);
        }
        if (failed || clientFile.complete())
            break;
    }
    bool result = !failed && clientFile.complete();

    rapi->CeCloseHandle(handle);
    if (gLogDebug)
        LogWithDate("Write %ld - result: %d", static_cast<long>(length >= 0 ? length : int64_t(clientFile.bytesRead())),
                    result ? 1 : 0);
    return result;
}

bool WinceDataSource::putData(const DataPtr& data, const std::string& withUri)
{
    if (IsMetafile(withUri))
        return mirroredDS->putData(data, withUri);

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

int WinceDataSource::delete_(const std::string& uri)
{
    if (IsMetafile(uri))
        return mirroredDS->delete_(uri);
    auto path = uriToLocal(uri);
    clearFindCache();
    if (!path)
        return 422;
    if (rapi->CeDeleteFile(*path))
        return 204;
    // Not a file: perhaps an empty folder.
    return rapi->CeRemoveDirectory(*path) ? 204 : 422;
}

int WinceDataSource::move(const std::string& uri, const std::optional<std::string>& to)
{
    // Refused: metafiles live in the mirror and everything else on the device, so a
    // move across would put the resource where its new name cannot reach it.
    if (to && IsMetafile(uri) != IsMetafile(*to))
        return 403;
    if (IsMetafile(uri))
        return mirroredDS->move(uri, to);
    auto destination = to ? uriToLocal(*to) : std::nullopt;
    auto source = uriToLocal(uri);
    clearFindCache();
    if (!source || !destination)
        return 412;
    return rapi->CeMoveFile(*source, *destination) ? 201 : 412;
}

int WinceDataSource::mkCollection(const std::string& uri)
{
    if (IsMetafile(uri))
        return mirroredDS->mkCollection(uri);
    clearFindCache();
    auto path = uriToLocal(uri);
    if (!path)
        return 405;
    return rapi->CeCreateDirectory(*path) ? 201 : 405;
}

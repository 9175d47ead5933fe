#include "device/DeviceFileStore.h"

#include "device/LogDescriptions.h"
#include "log/LogClient.h"
#include "platform/CalendarDate.h"

namespace {

constexpr DWORD kListingMask = 0xBF; // attributes, the three times, size, name
constexpr DWORD kFindMask = 0x3B;    // attributes, creation and write time, size
constexpr const char* kCollection = "<D:collection/>";
constexpr const char* kRootContentLength = "5";

std::string DescribeFinds(const std::vector<RapiFindData>& entries)
{
    std::vector<std::string> names;
    for (const auto& entry : entries)
        names.push_back(entry.filename);
    return DescribeList(names);
}

// A device name can hold neither "*" nor "?"; in a find they would make a
// pattern, and the find would answer for some other entry.
bool NamesPattern(const std::string& devicePath)
{
    size_t cut = devicePath.rfind('\\');
    std::string last = cut == std::string::npos ? devicePath : devicePath.substr(cut + 1);
    // The daemon's scratch files are found by no request either.
    return last.find_first_of("*?") != std::string::npos || DeviceFileStore::IsScratchName(last);
}

} // namespace

const PropertyHandlerTable& DeviceFileStore::classPropertyHandlers()
{
    using Self = DeviceFileStore;
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

const PropertyHandlerTable& DeviceFileStore::propertyHandlers() const { return classPropertyHandlers(); }

DataSource::ChildList DeviceFileStore::getChildren(const std::string& uri)
{
    std::string folder = devicePathForRead(uri);
    if (folder.empty() || folder.back() != '\\')
        folder += '\\';

    if (gLogDebug)
        LogWithDate("getChildren - about to RAPI");
    removeStrays();
    std::vector<RapiFindData> entries;
    rapi->CeFindAllFiles(folder + "*", kListingMask, entries);
    // The daemon's own scratch files are no member of any folder.
    std::erase_if(entries, [](const RapiFindData& entry) { return IsScratchName(entry.filename); });
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
        // All 64 bits: a size cut to 32 would make a client truncate the file.
        record.emplace("getcontentlength", std::to_string(entry.fileSize));
        record.emplace("resourcetype", (entry.attributes & FILE_ATTRIBUTE_DIRECTORY) ? kCollection : "");
    }
    return children;
}

RapiFindData DeviceFileStore::getFindData(const std::string& uri, DWORD /*flags*/)
{
    // One find asks for every field any caller wants, so that all properties of
    // one resource cost one device call.
    // The entry serves for kCacheLife: a change made on the device itself shows
    // after that.
    if (cachedFindUri && *cachedFindUri == uri && cachedFindData &&
        cacheNow() - cachedFindDate < kCacheLife)
        return *cachedFindData;
    clearFindCache();

    auto path = uriToLocalForRead(uri);
    std::vector<RapiFindData> found;
    if (path && !NamesPattern(*path))
        rapi->CeFindAllFiles(*path, kFindMask, found);
    if (!found.empty()) {
        cachedFindData = found.front();
        cachedFindUri = uri;
        cachedFindDate = cacheNow();
        return *cachedFindData;
    }
    if (gLogDebug)
        LogWithDate("find: %@ not found", uri.c_str());
    RaiseDAVNotFound();
}

void DeviceFileStore::clearFindCache()
{
    cachedFindData.reset();
    cachedFindUri.reset();
}

std::optional<DataSource::Date> DeviceFileStore::getCreationDate(const std::string& uri)
{
    return getFindData(uri, FAF_CREATION_TIME).creationTime;
}

std::optional<DataSource::Date> DeviceFileStore::getLastModified(const std::string& uri)
{
    if (isRoot(uri))
        return Date::clock::now();
    return getFindData(uri, FAF_LASTWRITE_TIME).lastModTime;
}

DWORD DeviceFileStore::getFileAttributes(const std::string& uri) { return getFindData(uri, FAF_ATTRIBUTES).attributes; }

bool DeviceFileStore::isFile(const std::string& uri)
{
    if (isRoot(uri))
        return false;
    return !(getFileAttributes(uri) & FILE_ATTRIBUTE_DIRECTORY);
}

bool DeviceFileStore::isDirectory(const std::string& uri)
{
    if (isRoot(uri))
        return true;
    return (getFileAttributes(uri) & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

std::optional<std::string> DeviceFileStore::DAV_resourcetype(const std::string& uri)
{
    return std::string(isFile(uri) ? "" : kCollection);
}

std::optional<std::string> DeviceFileStore::DAV_getcontentlength(const std::string& uri)
{
    if (isRoot(uri))
        return std::string(kRootContentLength);
    return std::to_string(getFindData(uri, FAF_SIZE_HIGH | FAF_SIZE_LOW).fileSize);
}

std::optional<std::string> DeviceFileStore::DAV_getcontenttype(const std::string&) { return std::string("text/html"); }

std::pair<uint64_t, uint64_t> DeviceFileStore::deviceSpace()
{
    uint32_t cards[5] = {};
    rapi->GetSpaceOnCards(cards);
    STORE_INFORMATION store;
    rapi->CeGetStoreInformation(store);
    uint64_t total = ((uint64_t(cards[1]) << 32) | cards[2]) + store.dwStoreSize;
    uint64_t free = ((uint64_t(cards[3]) << 32) | cards[4]) + store.dwFreeSize;
    return {total, free};
}

void DeviceFileStore::shareSpaceWithinAnswer(bool on)
{
    sharingSpace = on;
    spaceMemo.reset();
}

std::pair<uint64_t, uint64_t> DeviceFileStore::spaceForAnswer()
{
    if (!sharingSpace)
        return deviceSpace();
    if (!spaceMemo)
        spaceMemo = deviceSpace();
    return *spaceMemo;
}

std::optional<std::string> DeviceFileStore::DAV_quota(const std::string&)
{
    return std::to_string(spaceForAnswer().first / 512);
}

std::optional<std::string> DeviceFileStore::DAV_quotaused(const std::string&)
{
    auto [total, free] = spaceForAnswer();
    return std::to_string((total - free) / 512);
}


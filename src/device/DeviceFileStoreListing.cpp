#include "device/DeviceFileStore.h"

#include "datasource/HrefEscaping.h"
#include "device/LogDescriptions.h"
#include "log/LogClient.h"

namespace {

constexpr DWORD kListingMask = 0xBF; // attributes, the three times, size, name
constexpr DWORD kFindMask = 0x3B;    // attributes, creation and write time, size
constexpr uint64_t kRootContentLength = 5;

// A find entry's fields as a record (without a name).
void FillRecord(ChildRecord& record, const RapiFindData& entry)
{
    record.setCreated(entry.creationTime);
    record.setModified(entry.lastModTime);
    record.setAccessed(entry.lastAccessTime);
    record.setAttributes(entry.attributes);
    // All 64 bits: a size cut to 32 would make a client truncate the file.
    record.setSize(entry.fileSize);
    record.setCollection((entry.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0);
}

std::string DescribeFinds(const std::vector<RapiFindData>& entries)
{
    std::vector<std::string> names;
    for (const auto& entry : entries)
        names.push_back(entry.filename);
    return DescribeList(names);
}


} // namespace

uint8_t DeviceFileStore::answeredProperties() const
{
    return kAnswersLastModified | kAnswersResourceType | kAnswersContentLength | kAnswersContentType | kAnswersQuota;
}

DataSource::ChildList DeviceFileStore::getChildren(const std::string& uri)
{
    std::string folder = devicePathForRead(uri);
    if (folder.empty() || folder.back() != '\\')
        folder += '\\';

    if (gLogDebug)
        LogWithDate("getChildren - about to RAPI");
    removeStrays();
    std::vector<RapiFindData> entries;
    rapi.CeFindAllFiles(folder + "*", kListingMask, entries);
    // The daemon's own scratch files are no member of any folder.
    std::erase_if(entries, [](const RapiFindData& entry) { return IsScratchName(entry.filename); });
    if (gLogDebug)
        LogWithDate("getChildren - done RAPI: %@", DescribeFinds(entries).c_str());

    // Escaping goes byte by byte and a backslash comes out as "/" wherever it
    // stands, so a member's URI is the folder's followed by its escaped name.
    const std::string folderUri = localToUri(folder);
    ChildList children;
    children.reserve(entries.size());
    for (const auto& entry : entries) {
        ChildRecord& record = children.emplace_back();
        if (gLogDebug) {
            record.name = localToUri(folder + entry.filename); // which logs each one
        } else {
            record.name.reserve(folderUri.size() + entry.filename.size() + 8);
            record.name = folderUri;
            AppendEscapedHrefBytes(record.name, entry.filename);
        }
        FillRecord(record, entry);
    }
    return children;
}

RapiFindData DeviceFileStore::getFindData(const std::string& uri, DWORD /*flags*/)
{
    const RapiFindData* found = findEntry(uri);
    if (!found)
        RaiseDAVNotFound();
    return *found;
}

const RapiFindData* DeviceFileStore::findEntry(const std::string& uri)
{
    // One find asks for every field any caller wants, so that all properties of
    // one resource cost one device call.
    // The entry serves for kCacheLife: a change made on the device itself shows
    // after that.
    if (cachedFindUri && *cachedFindUri == uri && cachedFindData && cacheNow() - cachedFindDate < kCacheLife)
        return &*cachedFindData;
    clearFindCache();

    auto path = uriToLocalForRead(uri);
    std::vector<RapiFindData> found;
    if (path && !IsUnfindable(*path))
        rapi.CeFindAllFiles(*path, kFindMask, found);
    if (!found.empty()) {
        cachedFindData = found.front();
        cachedFindUri = uri;
        cachedFindDate = cacheNow();
        return &*cachedFindData;
    }
    if (gLogDebug)
        LogWithDate("find: %@ not found", uri.c_str());
    return nullptr;
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

StoreStatus DeviceFileStore::stat(const std::string& uri, ChildRecord& record)
{
    // The root is always there, and costs no device call.
    auto path = uriToLocalForRead(uri);
    if (!path)
        return StoreStatus::NotFound;
    if (*path == "\\") {
        record.setCollection(true);
        record.setSize(kRootContentLength);
        record.setModified(Date::clock::now());
        return StoreStatus::Done;
    }
    const RapiFindData* found = findEntry(uri);
    if (!found)
        return StoreStatus::NotFound;
    FillRecord(record, *found);
    return StoreStatus::Done;
}

std::pair<uint64_t, uint64_t> DeviceFileStore::deviceSpace()
{
    uint32_t cards[5] = {};
    rapi.GetSpaceOnCards(cards);
    STORE_INFORMATION store;
    rapi.CeGetStoreInformation(store);
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

std::optional<StoreSpace> DeviceFileStore::space(const std::string&)
{
    auto [total, free] = spaceForAnswer();
    return StoreSpace{total, free};
}

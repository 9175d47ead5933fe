#pragma once

#include "datasource/DataSource.h"
#include "pavrixwm/Rapi.h"

#include <chrono>
#include <memory>
#include <optional>
#include <string>

// The read cache: the last device file read (under 10 MiB), served again without
// a device call while it is younger than 10 seconds. Process-wide; only the
// serving thread touches it.
extern DataSource::DataPtr gCachedFile;
extern std::optional<std::string> gCachedFileName;
extern std::optional<std::chrono::system_clock::time_point> gCachedFileDate;

// The attached device's file system, and nothing else: a URI /volume/path names
// the device path \path (every volume segment names the same device tree).
// Listings and properties live in DeviceFileStoreListing.cpp, reads with the read
// cache in DeviceFileStoreReads.cpp, changes in DeviceFileStoreChanges.cpp and
// the URI mapping in DeviceFileStorePaths.cpp.
class DeviceFileStore : public DataSource {
public:
    // Chunk size of uploads, and the read cache's limits.
    static constexpr uint32_t kWriteChunk = 65536;
    static constexpr size_t kReadCacheMaxBytes = 10485759;
    static constexpr std::chrono::duration<double> kReadCacheLife{10.0};

    explicit DeviceFileStore(std::shared_ptr<Rapi> rapi) : rapi(std::move(rapi)) {}

    // Forgets the read cache once it is too old to be served (it would only be
    // replaced by the next read), so that its memory can go back to the system.
    static void dropExpiredReadCache();

    const std::optional<std::string>& volumePrefix() const { return prefix; }

    // The device path a URI names; none when the URI has no "/" after its volume
    // segment. The first URI mapped fixes the volume segment used by localToUri.
    std::optional<std::string> uriToLocal(const std::string& uri);
    // The URI of a device path, escaped by the href byte rule, under the volume
    // segment of the first URI mapped.
    std::string localToUri(const std::string& devicePath);

    // One record per device entry, in device order; a missing folder gives none.
    ChildList getChildren(const std::string& uri) override;
    // The find result of one resource, from the one-entry cache or one device find;
    // raises DAVNotFoundException when the device has no such resource. `flags`
    // names the fields the caller wants; every find asks for all of them.
    RapiFindData getFindData(const std::string& uri, DWORD flags);
    void clearFindCache();

    // The root's modification time is now.
    std::optional<Date> getLastModified(const std::string& uri) override;
    std::optional<Date> getCreationDate(const std::string& uri) override;
    DWORD getFileAttributes(const std::string& uri);
    bool isFile(const std::string& uri);
    bool isDirectory(const std::string& uri);

    std::optional<std::string> DAV_resourcetype(const std::string& uri);
    std::optional<std::string> DAV_getcontentlength(const std::string& uri);
    std::optional<std::string> DAV_getcontenttype(const std::string& uri);
    // Device and storage-card space in 512-byte blocks: all of it, and the used part.
    std::optional<std::string> DAV_quota(const std::string& uri);
    std::optional<std::string> DAV_quotaused(const std::string& uri);

    // Whole files through the read cache; a folder reads as empty.
    DataPtr getData(const std::string& uri) override;
    // Takes the body in 64 KiB chunks as it arrives; a chunk the body ends inside
    // of is not written, and the device keeps the whole chunks before it.
    bool putDataFromFile(const std::string& uri, platform::BodyStream& clientFile, int64_t length) override;
    bool putData(const DataPtr& data, const std::string& withUri) override;
    int delete_(const std::string& uri) override;
    int move(const std::string& uri, const std::optional<std::string>& to) override;
    int mkCollection(const std::string& uri) override;
    // CeCopyFile on the device itself (DeviceFileStoreCopy.cpp).
    int copyFile(const std::string& uri, const std::string& to) override;
    // CeSetFileTime on the file, opened for writing; a folder cannot be opened.
    bool setTimes(const std::string& uri, std::optional<Date> created, std::optional<Date> modified) override;

    const PropertyHandlerTable& propertyHandlers() const override;
    static const PropertyHandlerTable& classPropertyHandlers();

private:
    // uriToLocal, with the bare volume naming the root.
    std::optional<std::string> uriToLocalForRead(const std::string& uri);
    // The device path of a URI for a read, raising DAVNotFoundException when it has none.
    std::string devicePathForRead(const std::string& uri);
    bool isRoot(const std::string& uri);
    // Opens the device path for writing (replacing what is there), after emptying
    // the find cache; INVALID_HANDLE_VALUE when it cannot be opened or mapped.
    HANDLE openForUpload(const std::string& uri);
    // Total and free bytes of the main store and the storage cards.
    std::pair<uint64_t, uint64_t> deviceSpace();

    std::shared_ptr<Rapi> rapi;
    std::optional<RapiFindData> cachedFindData;
    std::optional<std::string> cachedFindUri;
    std::optional<std::string> prefix;
};

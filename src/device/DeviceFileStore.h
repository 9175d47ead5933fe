#pragma once

#include "datasource/CacheLife.h"
#include "datasource/DataSource.h"
#include "pavrixwm/DeviceBackend.h"

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// The attached device's file system, and nothing else: a URI /volume/path names
// the device path \path (every volume segment names the same device tree).
// Listings and properties live in DeviceFileStoreListing.cpp, reads with the read
// cache in DeviceFileStoreReads.cpp, uploads in DeviceFileStoreUploads.cpp, the
// other changes in DeviceFileStoreChanges.cpp, copies and file times (the standard
// answers' own) in DeviceFileStoreStandard.cpp and the URI mapping in
// DeviceFileStorePaths.cpp.
class DeviceFileStore : public DataSource {
public:
    // Chunk size of uploads, and the read cache's limits.
    static constexpr uint32_t kWriteChunk = 65536;
    static constexpr size_t kReadCacheMaxBytes = 10485759;
    static constexpr std::chrono::duration<double> kReadCacheLife = kCacheLife;
    // Files up to this size are read whole in one device read; larger ones are
    // read in pieces of kReadPiece as they are sent, so that memory stays flat and
    // the first byte leaves at once whatever the size.
    static constexpr uint64_t kWholeReadMax = 1048576;
    static constexpr uint32_t kReadPiece = 65536;
    // The largest file the device's file system holds: its sizes are 32-bit.
    static constexpr uint64_t kLargestDeviceFile = 0xFFFFFFFFull;
    // An upload's new contents go to kScratchPrefix, a random part and
    // kScratchSuffix: the daemon's own file, never listed, found, served or changed
    // by a request. The old file waits beside it under the same prefix and random
    // part with kBackupSuffix: a file like any other, so that should it ever be the
    // only copy left, its owner still sees it.
    static constexpr const char* kScratchPrefix = "~pxwm~";
    static constexpr const char* kScratchSuffix = ".new";
    static constexpr const char* kBackupSuffix = ".old";

    // The store over `device`, which outlives it.
    explicit DeviceFileStore(DeviceBackend& device) : rapi(device) {}

    // Forgets the read cache once it is too old to be served (it would only be
    // replaced by the next read), so that its memory can go back to the system.
    void releaseIdleMemory() override;
    // Forgets the read cache when it holds the file at `uri`: a read served from
    // it after a change there would show the old contents.
    void forgetReadCacheOf(const std::string& uri);
    // The URI whose contents the read cache holds, if any.
    const std::optional<std::string>& cachedReadName() const { return cachedFileName; }

    // The first URI mapped names the volume of every listing, but only once its
    // request worked: a request that failed (one naming a stray volume, say) leaves
    // the volume to the next request.
    void requestEnded(bool worked);

    // The device path a URI names; none when the URI has no "/" after its volume
    // segment. The first URI mapped by a request that worked fixes the volume
    // segment used by localToUri (until then, the current request's first).
    std::optional<std::string> uriToLocal(const std::string& uri);
    // The URI of a device path, escaped by the href byte rule, under the volume
    // segment of the first URI mapped.
    std::string localToUri(const std::string& devicePath);

    // One record per device entry, in device order; a missing folder gives none.
    ChildList getChildren(const std::string& uri) override;
    // The find result of one resource, from the one-entry cache (while younger
    // than kCacheLife) or one device find;
    // raises DAVNotFoundException when the device has no such resource. `flags`
    // names the fields the caller wants; every find asks for all of them.
    RapiFindData getFindData(const std::string& uri, DWORD flags);
    void clearFindCache();
    // Whether a device name (the last piece of a path) is one of the daemon's scratch files.
    static bool IsScratchName(const std::string& name);
    // Whether no find or upload is to be made for a device path: its last name is a
    // pattern ("*" or "?", which would answer for some other entry) or a scratch file.
    static bool IsUnfindable(const std::string& devicePath);

    // The root's modification time is now.
    std::optional<Date> getLastModified(const std::string& uri) override;
    std::optional<Date> getCreationDate(const std::string& uri) override;
    DWORD getFileAttributes(const std::string& uri);
    bool isFile(const std::string& uri);
    bool isDirectory(const std::string& uri);

    // The find entry's fields; the root, a folder of
    // size 5 modified now, without a device call. NotFound when the find finds nothing.
    StoreStatus stat(const std::string& uri, ChildRecord& record) override;
    // Device and storage-card space together.
    std::optional<StoreSpace> space(const std::string& uri) override;
    // Every property: dates, kind, length, content type and quota.
    uint8_t answeredProperties() const override;

    // Whole files through the read cache; a folder reads as empty.
    DataPtr getData(const std::string& uri) override;
    // Files up to kWholeReadMax read whole (as getData, contents in memory);
    // larger ones as a source that reads the device in pieces, holding the file
    // open until the DataFile goes. Raises as getData.
    DataFilePtr getDataFile(const std::string& uri) override;
    void shareSpaceWithinAnswer(bool on) override;

protected:
    // The changes, as the public operations of DataSource call them.
    // TooLarge for a body the device's file system cannot hold, NoSpace for one
    // larger than the free space the device reports; none otherwise.
    std::optional<StoreStatus> refusalOfUpload(const std::string& uri, int64_t length) override;
    // Takes the body in 64 KiB chunks as it arrives into a scratch file beside
    // the target, and puts it in the target's place only once it is whole: on
    // any failure the old file stays as it was.
    bool writeFromStream(const std::string& uri, platform::BodyStream& clientFile, int64_t length) override;
    bool writeData(const DataPtr& data, const std::string& withUri) override;
    StoreStatus removeResource(const std::string& uri) override;
    StoreStatus moveResource(const std::string& uri, const std::optional<std::string>& to) override;
    StoreStatus makeCollection(const std::string& uri) override;
    // CeCopyFile on the device itself.
    StoreStatus copyResource(const std::string& uri, const std::string& to) override;
    // CeSetFileTime on the file, opened for writing; a folder cannot be opened.
    bool writeTimes(const std::string& uri, std::optional<Date> created, std::optional<Date> modified) override;

private:
    // getFindData without raising: the cached or newly found entry, or null.
    const RapiFindData* findEntry(const std::string& uri);
    // uriToLocal, with the bare volume naming the root.
    std::optional<std::string> uriToLocalForRead(const std::string& uri);
    // The device path of a URI for a read, raising DAVNotFoundException when it has none.
    std::string devicePathForRead(const std::string& uri);
    bool isRoot(const std::string& uri);
    // The device path of an upload's target, after logging it and emptying the
    // caches; none when it cannot be mapped or names a scratch file.
    std::optional<std::string> uploadTarget(const std::string& uri);
    // Writes a new file at `requested` through `write` (given the open scratch handle;
    // true when it wrote everything) and, when it succeeded, swaps it in for what
    // is there. The old file is kept on every failure.
    bool replaceFile(const std::string& requested, const std::function<bool(HANDLE)>& write);
    // Opens the URI's device file for a read; INVALID_HANDLE_VALUE when the device
    // refuses, DAVNotFoundException when the URI names no device file.
    HANDLE openToRead(const std::string& uri);
    // When a read could not open the file: a folder reads as empty, else raises
    // DAVBusyException (held by another program) or DAVNotFoundException.
    DataPtr answerForFailedOpen(const std::string& uri);
    // Before a change: every device change empties the caches it could make lie.
    void forgetBeforeChange();
    // Deletes the files an earlier upload could not remove, and puts back under its
    // name an old file whose swap could be neither finished nor undone.
    void removeStrays();
    // Total and free bytes of the main store and the storage cards.
    std::pair<uint64_t, uint64_t> deviceSpace();
    // deviceSpace for the quota properties: read once while an answer shares it
    // (a listing then costs two calls for space whatever its size), else asked
    // every time.
    std::pair<uint64_t, uint64_t> spaceForAnswer();

    bool readCacheHolds(const std::string& uri) const;
    void fillReadCache(const DataPtr& contents, const std::string& uri);
    void forgetReadCache();

    DeviceBackend& rapi;
    // The read cache: the last device file read whole (at most kReadCacheMaxBytes),
    // served again without a device call while younger than kReadCacheLife. Every
    // change through the daemon empties it.
    DataPtr cachedFile;
    std::optional<std::string> cachedFileName;
    std::chrono::steady_clock::time_point cachedFileDate;
    std::optional<RapiFindData> cachedFindData;
    std::optional<std::string> cachedFindUri;
    std::chrono::steady_clock::time_point cachedFindDate;
    std::optional<std::string> prefix;
    // Files (device paths) left behind by a failed clean-up: each is only ever a
    // copy, never the one copy of a file.
    std::vector<std::string> strays;
    // Old files waiting under their backup name (first) to go back to their own
    // name (second), where the device went away in the middle of a swap.
    std::vector<std::pair<std::string, std::string>> restores;
    // The space read for the answer being built, while one shares it.
    bool sharingSpace = false;
    std::optional<std::pair<uint64_t, uint64_t>> spaceMemo;
    std::optional<std::string> tentativePrefix; // the volume the current request mapped first
    // The last URI mapped and its device path: a request maps its own path several
    // times, and the mapping depends on nothing else.
    std::string lastMappedUri;
    std::optional<std::string> lastMappedPath;
};

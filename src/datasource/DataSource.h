#pragma once

#include "datasource/CacheLife.h"
#include "datasource/ChildRecord.h"
#include "datasource/ListingCache.h"
#include "datasource/StoreStatus.h"
#include "datasource/LockTable.h"
#include "platform/ByteBuffer.h"

#include "platform/NamedException.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <string_view>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace platform {
class BodyStream;
class SocketStream;
}

// Named exceptions by which read operations report a missing or busy resource.
inline constexpr const char* kDAVNotFoundException = "DAVNotFoundException";
inline constexpr const char* kDAVNotFoundReason = "DAV attribute Not Found on System";
inline constexpr const char* kDAVBusyException = "DAVBusyException";
inline constexpr const char* kDAVBusyReason = "DAV attribute Sharing Violation";

[[noreturn]] void RaiseDAVNotFound();
[[noreturn]] void RaiseDAVBusy();
// What a read reported: Done when it returned, NotFound or Busy when it raised
// one of the named exceptions above (any name but the busy one reads as
// missing). Any other failure is no report of the store and goes on. The one
// place where the reports become outcomes. A template, so that the read is
// called where it is written rather than through an allocated std::function.
StoreStatus OutcomeOfRaised(const platform::NamedException& raised);
template <class Read>
StoreStatus ReadOutcome(Read&& read)
{
    try {
        read();
        return StoreStatus::Done;
    } catch (const platform::NamedException& e) {
        return OutcomeOfRaised(e);
    }
}

// The properties a store answers through getProperty, as bits of one mask.
enum AnsweredProperty : uint8_t {
    kAnswersLastModified = 1,
    kAnswersResourceType = 2,
    kAnswersContentLength = 4,
    kAnswersContentType = 8, // "text/html" for every resource, asked of none
    kAnswersQuota = 16, // quota and quotaused
};

// The resource store behind the WebDAV methods. Each operation's contract is the
// one line above it; the answer of a plain DataSource, a complete, empty,
// read-only store, follows in brackets. Store classes replace what they serve.
// Reads of contents and properties report a missing resource by raising
// DAVNotFoundException and a resource another program holds by raising
// DAVBusyException; stat answers NotFound instead, and changes answer through their
// results only (a StoreStatus, or whether they stored).
class DataSource {
public:
    using Date = std::chrono::system_clock::time_point;
    using Data = platform::ByteBuffer;
    using DataPtr = std::shared_ptr<const Data>; // null: no data
    using ChildRecord = ::ChildRecord;
    using ChildList = std::vector<ChildRecord>;
    // Contents a store sends in pieces rather than holding them whole: an open
    // descriptor (closed with the object), or a source the store reads on demand;
    // or contents already whole in memory. `size` is the number of bytes to send.
    struct DataFile {
        // Moves to `offset` from the start of the contents; false when it cannot.
        using Seek = std::function<bool(uint64_t offset)>;
        // Sends up to `count` bytes from the current position to `out`; how many went.
        using Sender = std::function<size_t(platform::SocketStream& out, size_t count)>;

        DataFile(int fd, uint64_t size) : fd(fd), size(size) {}
        DataFile(Seek seek, Sender send, uint64_t size) : fd(-1), size(size), seek(std::move(seek)), send(std::move(send))
        {
        }
        explicit DataFile(std::shared_ptr<const Data> contents);
        ~DataFile();
        DataFile(const DataFile&) = delete;
        DataFile& operator=(const DataFile&) = delete;

        // Continues from `offset` of the contents; false when it cannot.
        bool seekTo(uint64_t offset);
        // Up to `count` bytes from the current position sent to `out`, without a
        // copy where the bytes are in a host file; how many went (0 at the end).
        size_t sendTo(platform::SocketStream& out, size_t count) const;

        int fd;
        uint64_t size;
        Seek seek;
        Sender send;
        std::shared_ptr<const Data> contents; // whole in memory (sent as it is)

    private:
        bool inMemory_ = false; // made from `contents`, which may be none (nothing to send)
        mutable uint64_t position_ = 0; // in `contents`: sending moves it on
    };
    using DataFilePtr = std::unique_ptr<DataFile>;

    DataSource();
    virtual ~DataSource() = default;

    // The property names every resource is asked for.
    const std::vector<std::string>& props() const { return props_; }

    // One record per member of a folder, its name the member's URI. [one member "subdir", nothing else known]
    virtual ChildList getChildren(const std::string& uri);
    // getChildren, its members kept for the lookups that follow (keptChild) until
    // the next listing, the next change to the store, or kCacheLife.
    const ChildList& listAndKeep(const std::string& uri);
    // The member of the kept listing whose name is `uri`; null when there is none.
    const ChildRecord* keptChild(const std::string& uri) const { return listing_.find(uri, cacheNow()); }

    // What the store knows of one resource, in `record`: Done, or NotFound (Busy
    // where the store can tell). [Done: modified now]
    virtual StoreStatus stat(const std::string& uri, ChildRecord& record);
    // The store's room as seen from the resource; none when the store keeps no such figure. [none]
    virtual std::optional<StoreSpace> space(const std::string& uri);
    // Which properties getProperty answers (AnsweredProperty bits). [last modified]
    virtual uint8_t answeredProperties() const;

    // A listed property the store answers (its "DAV_<name>:" handler): from stat
    // or space. None for any other name. A missing or busy resource raises
    // DAVNotFoundException or DAVBusyException.
    std::optional<std::string> getProperty(const std::string& name, const std::string& withURI);

    // The reads above as outcomes, for callers that answer a missing or busy
    // resource rather than pass the report on: Done with the answer in the last
    // argument, NotFound or Busy where the read raises the named exception (the
    // argument then unchanged). Any other failure is no report of the store and
    // goes on to the caller.
    StoreStatus readProperty(const std::string& name, const std::string& uri, std::optional<std::string>& value);
    StoreStatus readChildren(const std::string& uri, ChildList& children);
    // getDataFile, else getData.
    StoreStatus readData(const std::string& uri, DataFilePtr& file, DataPtr& data);
    // Whether the URI names a collection (isCollection); a missing resource is none.
    StoreStatus readIsCollection(const std::string& uri, bool& collection);

    // When the resource was made; none when the store keeps no such date; raises when missing. [now]
    virtual std::optional<Date> getCreationDate(const std::string& uri);
    // When the resource last changed; raises when missing. [now]
    virtual std::optional<Date> getLastModified(const std::string& uri);
    // Whether the URI names a collection. [false]
    virtual bool isCollection(const std::string& uri);
    // Whether the URI names anything. [false]
    virtual bool exists(const std::string& uri);
    // The names of the properties the resource has. [props()]
    std::vector<std::string> getPropnames(const std::string& uri);
    // Every byte of a file (a folder may read as empty); raises when missing or busy. [null]
    virtual DataPtr getData(const std::string& uri);
    // The contents as an open file to send in pieces; none when getData answers instead. Raises as getData. [none]
    virtual DataFilePtr getDataFile(const std::string& uri);
    // The changes. Each first forgets the kept listing (listAndKeep), so that no
    // answer is built from a listing older than a change; the store's own
    // operation (below, protected) then makes it.
    bool putData(const DataPtr& data, const std::string& withUri)
    {
        changing();
        return writeData(data, withUri);
    }
    std::optional<StoreStatus> uploadRefusal(const std::string& uri, int64_t length)
    {
        changing();
        return refusalOfUpload(uri, length);
    }
    bool putDataFromFile(const std::string& uri, platform::BodyStream& clientFile, int64_t length)
    {
        changing();
        return writeFromStream(uri, clientFile, length);
    }
    // ("delete" is taken by the language.)
    StoreStatus delete_(const std::string& uri)
    {
        changing();
        return removeResource(uri);
    }
    StoreStatus mkCollection(const std::string& uri)
    {
        changing();
        return makeCollection(uri);
    }
    StoreStatus move(const std::string& uri, const std::optional<std::string>& to)
    {
        changing();
        return moveResource(uri, to);
    }
    StoreStatus moveKeeping(const std::string& uri, const std::optional<std::string>& to)
    {
        changing();
        return moveResourceKeeping(uri, to);
    }
    // Told after each request with the status it was answered (0: none), so that
    // what only a request that worked may settle (the volume's name) is settled
    // then. [nothing]
    virtual void requestAnswered(int status);
    // Told when the daemon has been idle for longer than kCacheLife: whatever
    // the store keeps in memory that can no longer be served goes. [nothing]
    virtual void releaseIdleMemory();
    // The clock the store's caches age by (SteadyNow unless a test sets one).
    virtual void setClock(CacheClock clock) { clock_ = std::move(clock); }

    // While on, the space of the store (quota, quotaused) is read once and shared by
    // every resource of the answer being built; off, read at every ask. [nothing]
    virtual void shareSpaceWithinAnswer(bool on);

    // --- used by the standard answers only (dav/DavMode.h) ---
    // Whether this store's clients get the standard WebDAV answers where the
    // daemon's own differ. Set once by whoever hands the store to connections.
    void setStandardAnswers(bool on) { standardAnswers_ = on; }
    bool standardAnswers() const { return standardAnswers_; }
    // Dead properties: "{namespace}name" with the property element's content as XML text.
    using DeadProperties = std::vector<std::pair<std::string, std::string>>;
    StoreStatus copyFile(const std::string& uri, const std::string& to)
    {
        changing();
        return copyResource(uri, to);
    }
    bool setTimes(const std::string& uri, std::optional<Date> created, std::optional<Date> modified)
    {
        changing();
        return writeTimes(uri, created, modified);
    }
    bool storeDeadProperties(const std::string& uri, const DeadProperties& properties)
    {
        changing();
        return writeDeadProperties(uri, properties);
    }
    // The dead properties a client set on the resource. [none]
    virtual DeadProperties deadProperties(const std::string& uri);
    // What the store keeps beside a resource (its dead properties, a folder's
    // members') follows the resource: to `to` after a move (`copy` false) or a copy
    // (`copy` true), nowhere after a delete (`to` none). [nothing]
    virtual void companionsFollow(const std::string& uri, const std::optional<std::string>& to, bool copy);
    // The write locks clients hold on this store's resources.
    LockTable& locks() { return locks_; }
    // A number this store has not given before, for the names of scratch files
    // and of resources moved aside, so that no two of them meet.
    uint64_t nextScratchNumber() { return ++scratchNumbers_; }

protected:
    std::chrono::steady_clock::time_point cacheNow() const { return clock_(); }

    // The changes as each store makes them; the public operations above call them.
    // Makes or replaces the file with `data`; true when stored. [false]
    virtual bool writeData(const DataPtr& data, const std::string& withUri);
    // Refuses an upload of `length` bytes (-1: unknown) before any byte is read
    // (TooLarge, NoSpace); none to take it. [none]
    virtual std::optional<StoreStatus> refusalOfUpload(const std::string& uri, int64_t length);
    // Stores the body to its end (`length` announced, -1 chunked); true when every byte was stored. [false]
    virtual bool writeFromStream(const std::string& uri, platform::BodyStream& clientFile, int64_t length);
    // Done removed or nothing there, NotRemoved refused. [Unsupported]
    virtual StoreStatus removeResource(const std::string& uri);
    // Created, Exists (something stands there, or the device refused), Refused (a
    // folder on the way cannot be made). [Unsupported]
    virtual StoreStatus makeCollection(const std::string& uri);
    // Created, NotMoved (refused, or no destination), Refused (a destination in another store). [Unsupported]
    virtual StoreStatus moveResource(const std::string& uri, const std::optional<std::string>& to);
    // A move that never replaces what stands at the destination (a client's
    // "Overwrite: F"): NotMoved when something does. [exists ? NotMoved : moveResource]
    virtual StoreStatus moveResourceKeeping(const std::string& uri, const std::optional<std::string>& to);
    // Copies one file onto `to`, replacing a file standing there, without its bytes
    // leaving the store: Created, Busy, Refused (refused or across stores). [Unsupported]
    virtual StoreStatus copyResource(const std::string& uri, const std::string& to);
    // Sets the creation and modification times (either may be none); true when set. [false]
    virtual bool writeTimes(const std::string& uri, std::optional<Date> created, std::optional<Date> modified);
    // Replaces the dead properties (none: forgets them); true when kept. [false]
    virtual bool writeDeadProperties(const std::string& uri, const DeadProperties& properties);

private:
    void changing() { listing_.forget(); }

    CacheClock clock_ = SteadyNow;
    ListingCache listing_;
    LockTable locks_;
    std::vector<std::string> props_;
    bool standardAnswers_ = false;
    uint64_t scratchNumbers_ = 0;
};

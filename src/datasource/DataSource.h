#pragma once

#include "datasource/CacheLife.h"
#include "datasource/LockTable.h"
#include "platform/ByteBuffer.h"

#include "platform/NamedException.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace platform {
class BodyStream;
}

// Named exceptions by which read operations report a missing or busy resource.
inline constexpr const char* kDAVNotFoundException = "DAVNotFoundException";
inline constexpr const char* kDAVNotFoundReason = "DAV attribute Not Found on System";
inline constexpr const char* kDAVBusyException = "DAVBusyException";
inline constexpr const char* kDAVBusyReason = "DAV attribute Sharing Violation";

[[noreturn]] void RaiseDAVNotFound();
[[noreturn]] void RaiseDAVBusy();

class DataSource;

// Property handlers by name ("DAV_getlastmodified:" ...). Each store class keeps
// its own table: its base's entries plus the ones it adds or replaces. The lookup
// uses the table of the most-derived class.
class PropertyHandlerTable {
public:
    using Handler = std::function<std::optional<std::string>(DataSource&, const std::string& uri)>;

    PropertyHandlerTable(std::initializer_list<std::pair<const std::string, Handler>> entries) : handlers_(entries) {}
    PropertyHandlerTable(const PropertyHandlerTable& base,
                         std::initializer_list<std::pair<const std::string, Handler>> entries)
        : handlers_(base.handlers_)
    {
        for (const auto& [name, handler] : entries)
            handlers_[name] = handler;
    }

    const Handler* find(const std::string& name) const
    {
        auto it = handlers_.find(name);
        return it == handlers_.end() ? nullptr : &it->second;
    }

    // A handler that calls `member` of the store class `Store`.
    template <class Store>
    static std::pair<const std::string, Handler> entry(const std::string& name,
                                                       std::optional<std::string> (Store::*member)(const std::string&))
    {
        return {name, [member](DataSource& store, const std::string& uri) {
                    return (static_cast<Store&>(store).*member)(uri);
                }};
    }

private:
    std::map<std::string, Handler> handlers_;
};

// The resource store behind the WebDAV methods. Each operation's contract is the
// one line above it; the answer of a plain DataSource, a complete, empty,
// read-only store, follows in brackets. Store classes replace what they serve.
// Reads report a missing resource by raising DAVNotFoundException and a resource
// another program holds by raising DAVBusyException; changes answer through their
// results only.
class DataSource {
public:
    using Date = std::chrono::system_clock::time_point;
    using Data = platform::ByteBuffer;
    using DataPtr = std::shared_ptr<const Data>; // null: no data
    using ChildRecord = std::map<std::string, std::string>;
    using ChildList = std::vector<ChildRecord>;
    // Contents a store sends in pieces rather than holding them whole: an open
    // descriptor (closed with the object), or a source the store reads on demand;
    // or contents already whole in memory. `size` is the number of bytes to send.
    struct DataFile {
        // Returns the bytes it put in the buffer, at most `count`; 0 at the end or on failure.
        using Source = std::function<size_t(uint8_t* buffer, size_t count)>;
        // Moves to `offset` from the start of the contents; false when it cannot.
        using Seek = std::function<bool(uint64_t offset)>;

        DataFile(int fd, uint64_t size) : fd(fd), size(size) {}
        DataFile(Source source, Seek seek, uint64_t size)
            : fd(-1), size(size), source(std::move(source)), seek(std::move(seek))
        {
        }
        explicit DataFile(std::shared_ptr<const Data> contents);
        ~DataFile();
        DataFile(const DataFile&) = delete;
        DataFile& operator=(const DataFile&) = delete;

        // Up to `count` bytes from the current position; 0 at the end or on failure.
        size_t read(uint8_t* buffer, size_t count) const;
        // Continues from `offset` of the contents; false when it cannot.
        bool seekTo(uint64_t offset);

        int fd;
        uint64_t size;
        Source source;
        Seek seek;
        std::shared_ptr<const Data> contents; // whole in memory (sent as it is)
    };
    using DataFilePtr = std::unique_ptr<DataFile>;

    DataSource();
    virtual ~DataSource() = default;

    // The property names every resource is asked for.
    const std::vector<std::string>& props() const { return props_; }

    // One record per member of a folder: "name" its URI, then properties by name. [one member "subdir"]
    virtual ChildList getChildren(const std::string& uri);
    // A listed property through its "DAV_<name>:" handler; none without one. Handler exceptions pass through.
    std::optional<std::string> getProperty(const std::string& name, const std::string& withURI);
    // getCreationDate / getLastModified as an HTTP date; none when that is none.
    std::optional<std::string> DAV_getcreationdate(const std::string& uri);
    std::optional<std::string> DAV_getlastmodified(const std::string& uri);

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
    // Makes or replaces the file with `data`; true when stored. [false]
    virtual bool putData(const DataPtr& data, const std::string& withUri);
    // A status refusing an upload of `length` bytes (-1: unknown) before any byte is read; 0 to take it. [0]
    virtual int uploadRefusal(const std::string& uri, int64_t length);
    // Stores the body to its end (`length` announced, -1 chunked); true when every byte was stored. [false]
    virtual bool putDataFromFile(const std::string& uri, platform::BodyStream& clientFile, int64_t length);
    // ("delete" is taken by the language.) 204 removed or nothing there, 422 refused. [501]
    virtual int delete_(const std::string& uri);
    // 201 made, 405 something stands there or refused, 403 a folder on the way cannot be made. [501]
    virtual int mkCollection(const std::string& uri);
    // 201 moved, 412 refused or no destination, 403 a destination in another store. [501]
    virtual int move(const std::string& uri, const std::optional<std::string>& to);
    // Told after each request with the status it was answered (0: none), so that
    // what only a request that worked may settle (the volume's name) is settled
    // then. [nothing]
    virtual void requestAnswered(int status);
    // Told when the daemon has been idle for longer than kCacheLife: whatever
    // the store keeps in memory that can no longer be served goes. [nothing]
    virtual void releaseIdleMemory();
    // The clock the store's caches age by (SteadyNow unless a test sets one).
    virtual void setClock(CacheClock clock) { clock_ = std::move(clock); }
    // A move that never replaces what stands at the destination (a client's
    // "Overwrite: F"): 412 when something does. [exists ? 412 : move]
    virtual int moveKeeping(const std::string& uri, const std::optional<std::string>& to);

    // While on, the space of the store (quota, quotaused) is read once and shared by
    // every resource of the answer being built; off, read at every ask. [nothing]
    virtual void shareSpaceWithinAnswer(bool on);

    // The handler table of the most-derived class; each store class overrides it.
    virtual const PropertyHandlerTable& propertyHandlers() const;
    static const PropertyHandlerTable& classPropertyHandlers();

    // --- used by the standard answers only (dav/DavMode.h) ---
    // Dead properties: "{namespace}name" with the property element's content as XML text.
    using DeadProperties = std::vector<std::pair<std::string, std::string>>;
    // Copies one file onto `to`, replacing a file standing there, without its bytes
    // leaving the store: 201 copied, 423 busy, 403 refused or across stores. [501]
    virtual int copyFile(const std::string& uri, const std::string& to);
    // Sets the creation and modification times (either may be none); true when set. [false]
    virtual bool setTimes(const std::string& uri, std::optional<Date> created, std::optional<Date> modified);
    // The dead properties a client set on the resource. [none]
    virtual DeadProperties deadProperties(const std::string& uri);
    // Replaces them (none: forgets them); true when kept. [false]
    virtual bool storeDeadProperties(const std::string& uri, const DeadProperties& properties);
    // What the store keeps beside a resource (its dead properties, a folder's
    // members') follows the resource: to `to` after a move (`keep` false) or a copy
    // (`keep` true), nowhere after a delete (`to` none). [nothing]
    virtual void companionsFollow(const std::string& uri, const std::optional<std::string>& to, bool keep);
    // The write locks clients hold on this store's resources.
    LockTable& locks() { return locks_; }

protected:
    std::chrono::steady_clock::time_point cacheNow() const { return clock_(); }

private:
    CacheClock clock_ = SteadyNow;
    LockTable locks_;
    std::vector<std::string> props_;
};

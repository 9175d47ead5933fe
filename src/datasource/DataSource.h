#pragma once

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

// The resource store behind the WebDAV methods. A plain DataSource is a complete,
// empty, read-only store; store classes replace what they serve.
class DataSource {
public:
    using Date = std::chrono::system_clock::time_point;
    using Data = platform::ByteBuffer;
    using DataPtr = std::shared_ptr<const Data>; // null: no data
    using ChildRecord = std::map<std::string, std::string>;
    using ChildList = std::vector<ChildRecord>;
    // Contents a store sends straight from an open file rather than holding them
    // whole: the descriptor (closed with the object) and the bytes to send.
    struct DataFile {
        DataFile(int fd, uint64_t size) : fd(fd), size(size) {}
        ~DataFile();
        DataFile(const DataFile&) = delete;
        DataFile& operator=(const DataFile&) = delete;
        int fd;
        uint64_t size;
    };
    using DataFilePtr = std::unique_ptr<DataFile>;

    DataSource();
    virtual ~DataSource() = default;

    const std::vector<std::string>& props() const { return props_; }

    virtual ChildList getChildren(const std::string& uri);
    // The value of a listed property through its "DAV_<name>:" handler; none for a
    // name outside props() or without a handler. Handler exceptions pass through.
    std::optional<std::string> getProperty(const std::string& name, const std::string& withURI);
    std::optional<std::string> DAV_getcreationdate(const std::string& uri);
    std::optional<std::string> DAV_getlastmodified(const std::string& uri);

    virtual std::optional<Date> getCreationDate(const std::string& uri);
    virtual std::optional<Date> getLastModified(const std::string& uri);
    virtual bool isCollection(const std::string& uri);
    virtual bool exists(const std::string& uri);
    std::vector<std::string> getPropnames(const std::string& uri);
    virtual DataPtr getData(const std::string& uri);
    // The contents as an open file to send in pieces; none when the store answers
    // through getData instead. Raises as getData does.
    virtual DataFilePtr getDataFile(const std::string& uri);
    virtual bool putData(const DataPtr& data, const std::string& withUri);
    // Stores the request body read from `clientFile` to its end; true only when
    // every byte of it arrived and was stored. `length` is the announced length, or
    // -1 for a chunked body (the stream knows where either ends).
    virtual bool putDataFromFile(const std::string& uri, platform::BodyStream& clientFile, int64_t length);
    // delete: (named with a trailing underscore, "delete" being taken by the language)
    virtual int delete_(const std::string& uri);
    virtual int mkCollection(const std::string& uri);
    virtual int move(const std::string& uri, const std::optional<std::string>& to);

    // The handler table of the most-derived class; each store class overrides it.
    virtual const PropertyHandlerTable& propertyHandlers() const;
    static const PropertyHandlerTable& classPropertyHandlers();

private:
    std::vector<std::string> props_;
};

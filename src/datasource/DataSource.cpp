#include "datasource/DataSource.h"

#include "log/LogClient.h"
#include "platform/CalendarDate.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

DataSource::DataFile::~DataFile()
{
    if (fd >= 0)
        ::close(fd);
}

DataSource::DataFile::DataFile(std::shared_ptr<const Data> whole) : fd(-1), size(whole ? whole->size() : 0)
{
    contents = std::move(whole);
    auto position = std::make_shared<uint64_t>(0);
    source = [data = contents, position](uint8_t* buffer, size_t count) -> size_t {
        if (!data || *position >= data->size())
            return 0;
        size_t n = static_cast<size_t>(std::min<uint64_t>(count, data->size() - *position));
        std::memcpy(buffer, data->data() + *position, n);
        *position += n;
        return n;
    };
    seek = [data = contents, position](uint64_t offset) {
        if (offset > (data ? data->size() : 0))
            return false;
        *position = offset;
        return true;
    };
}

size_t DataSource::DataFile::read(uint8_t* buffer, size_t count) const
{
    if (source)
        return source(buffer, count);
    for (;;) {
        ssize_t got = ::read(fd, buffer, count);
        if (got < 0 && errno == EINTR)
            continue;
        return got < 0 ? 0 : static_cast<size_t>(got);
    }
}

bool DataSource::DataFile::seekTo(uint64_t offset)
{
    if (seek)
        return seek(offset);
    return offset <= static_cast<uint64_t>(INT64_MAX) &&
           ::lseek(fd, static_cast<off_t>(offset), SEEK_SET) == static_cast<off_t>(offset);
}

void RaiseDAVNotFound() { throw platform::NamedException(kDAVNotFoundException, kDAVNotFoundReason); }
void RaiseDAVBusy() { throw platform::NamedException(kDAVBusyException, kDAVBusyReason); }

DataSource::DataSource()
    : props_{"creationdate", "displayname",   "getcontentlanguage", "getcontentlength", "getcontenttype",
             "getetag",      "getlastmodified", "lockdiscovery",    "resourcetype",     "source",
             "quota",        "quotaused",     "supportedlock"}
{
}

const PropertyHandlerTable& DataSource::classPropertyHandlers()
{
    static const PropertyHandlerTable table{
        PropertyHandlerTable::entry<DataSource>("DAV_getlastmodified:", &DataSource::DAV_getlastmodified),
        PropertyHandlerTable::entry<DataSource>("DAV_getcreationdate:", &DataSource::DAV_getcreationdate),
    };
    return table;
}

const PropertyHandlerTable& DataSource::propertyHandlers() const { return classPropertyHandlers(); }

DataSource::ChildList DataSource::getChildren(const std::string& uri)
{
    // A plain store names one member, "subdir", and knows nothing else about it.
    std::string child = uri;
    if (child.empty() || child.back() != '/')
        child += '/';
    child += "subdir";
    return {ChildRecord{{"name", child}}};
}

std::optional<std::string> DataSource::getProperty(const std::string& name, const std::string& withURI)
{
    if (gLogDebug)
        LogWithDate("getProperty: start");
    std::optional<std::string> result;
    bool listed = false;
    for (const auto& p : props_)
        if (p == name) {
            listed = true;
            break;
        }
    if (listed) {
        std::string handlerName = "DAV_" + name + ":";
        if (const auto* handler = propertyHandlers().find(handlerName)) {
            if (gLogDebug)
                LogWithDate("about to %s", handlerName.c_str());
            result = (*handler)(*this, withURI);
            if (gLogDebug)
                LogWithDate("did %s", handlerName.c_str());
        }
    }
    if (gLogDebug)
        LogWithDate("getProperty: end");
    return result;
}

std::optional<std::string> DataSource::DAV_getcreationdate(const std::string& uri)
{
    auto date = getCreationDate(uri);
    if (!date)
        return std::nullopt;
    return platform::FormatHTTPDate(*date);
}

std::optional<std::string> DataSource::DAV_getlastmodified(const std::string& uri)
{
    auto date = getLastModified(uri);
    if (!date)
        return std::nullopt;
    return platform::FormatHTTPDate(*date);
}

std::optional<DataSource::Date> DataSource::getCreationDate(const std::string&) { return Date::clock::now(); }
std::optional<DataSource::Date> DataSource::getLastModified(const std::string&) { return Date::clock::now(); }
bool DataSource::isCollection(const std::string&) { return false; }
bool DataSource::exists(const std::string&) { return false; }
std::vector<std::string> DataSource::getPropnames(const std::string&) { return props_; }
DataSource::DataPtr DataSource::getData(const std::string&) { return nullptr; }
bool DataSource::putData(const DataPtr&, const std::string&) { return false; }
DataSource::DataFilePtr DataSource::getDataFile(const std::string&) { return nullptr; }

int DataSource::uploadRefusal(const std::string&, int64_t) { return 0; }

void DataSource::shareSpaceWithinAnswer(bool) {}
bool DataSource::putDataFromFile(const std::string&, platform::BodyStream&, int64_t) { return false; }
int DataSource::delete_(const std::string&) { return 501; }
int DataSource::mkCollection(const std::string&) { return 501; }
int DataSource::move(const std::string&, const std::optional<std::string>&) { return 501; }

int DataSource::moveKeeping(const std::string& uri, const std::optional<std::string>& to)
{
    if (to && exists(*to))
        return 412;
    return move(uri, to);
}

void DataSource::requestAnswered(int) {}
void DataSource::releaseIdleMemory() {}

int DataSource::copyFile(const std::string&, const std::string&) { return 501; }

bool DataSource::setTimes(const std::string&, std::optional<Date>, std::optional<Date>) { return false; }

DataSource::DeadProperties DataSource::deadProperties(const std::string&) { return {}; }

bool DataSource::storeDeadProperties(const std::string&, const DeadProperties&) { return false; }

void DataSource::companionsFollow(const std::string&, const std::optional<std::string>&, bool) {}

#include "datasource/DataSource.h"

#include "log/LogClient.h"
#include "platform/CalendarDate.h"

#include <unistd.h>

DataSource::DataFile::~DataFile()
{
    if (fd >= 0)
        ::close(fd);
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
bool DataSource::putDataFromFile(const std::string&, platform::BodyStream&, int64_t) { return false; }
int DataSource::delete_(const std::string&) { return 501; }
int DataSource::mkCollection(const std::string&) { return 501; }
int DataSource::move(const std::string&, const std::optional<std::string>&) { return 501; }

int DataSource::copyFile(const std::string&, const std::string&) { return 501; }

bool DataSource::setTimes(const std::string&, std::optional<Date>, std::optional<Date>) { return false; }

DataSource::DeadProperties DataSource::deadProperties(const std::string&) { return {}; }

bool DataSource::storeDeadProperties(const std::string&, const DeadProperties&) { return false; }

void DataSource::companionsFollow(const std::string&, const std::optional<std::string>&, bool) {}

#include "datasource/DataSource.h"

#include "log/LogClient.h"
#include "platform/SocketStream.h"

#include <unistd.h>

#include <algorithm>

DataSource::DataFile::~DataFile()
{
    if (fd >= 0)
        ::close(fd);
}

DataSource::DataFile::DataFile(std::shared_ptr<const Data> whole)
    : fd(-1), size(whole ? whole->size() : 0), contents(std::move(whole)), inMemory_(true)
{
}

size_t DataSource::DataFile::sendTo(platform::SocketStream& out, size_t count) const
{
    if (inMemory_) {
        if (!contents || position_ >= contents->size())
            return 0;
        size_t n = static_cast<size_t>(std::min<uint64_t>(count, contents->size() - position_));
        out.write(contents->data() + position_, n);
        position_ += n;
        return n;
    }
    return send ? send(out, count) : out.sendFile(fd, count);
}

bool DataSource::DataFile::seekTo(uint64_t offset)
{
    if (inMemory_) {
        if (offset > (contents ? contents->size() : 0))
            return false;
        position_ = offset;
        return true;
    }
    if (seek)
        return seek(offset);
    return offset <= static_cast<uint64_t>(INT64_MAX) &&
           ::lseek(fd, static_cast<off_t>(offset), SEEK_SET) == static_cast<off_t>(offset);
}

StoreStatus OutcomeOfRaised(const platform::NamedException& raised)
{
    return raised.name() == kDAVBusyException ? StoreStatus::Busy : StoreStatus::NotFound;
}

StoreStatus DataSource::readProperty(const std::string& name, const std::string& uri,
                                     std::optional<std::string>& value)
{
    return ReadOutcome([&] { value = getProperty(name, uri); });
}

StoreStatus DataSource::readChildren(const std::string& uri, ChildList& children)
{
    return ReadOutcome([&] { children = getChildren(uri); });
}

StoreStatus DataSource::readData(const std::string& uri, DataFilePtr& file, DataPtr& data)
{
    return ReadOutcome([&] {
        file = getDataFile(uri);
        if (!file)
            data = getData(uri);
    });
}

StoreStatus DataSource::readIsCollection(const std::string& uri, bool& collection)
{
    return ReadOutcome([&] { collection = isCollection(uri); });
}

void RaiseDAVNotFound() { throw platform::NamedException(kDAVNotFoundException, kDAVNotFoundReason); }
void RaiseDAVBusy() { throw platform::NamedException(kDAVBusyException, kDAVBusyReason); }

DataSource::DataSource()
    : props_{"creationdate", "displayname",   "getcontentlanguage", "getcontentlength", "getcontenttype",
             "getetag",      "getlastmodified", "lockdiscovery",    "resourcetype",     "source",
             "quota",        "quotaused",     "supportedlock"}
{
}

namespace {

// The property names getProperty answers, each with the bit a store answers it by.
struct Answered {
    std::string_view name;
    uint8_t bit;
};
// Every store that answers a content type gives its files this one, whatever
// they hold, and asks nothing of the resource for it.
constexpr const char* kContentType = "text/html";

constexpr Answered kAnswered[] = {
    {"getlastmodified", kAnswersLastModified}, {"resourcetype", kAnswersResourceType},
    {"getcontentlength", kAnswersContentLength}, {"getcontenttype", kAnswersContentType},
    {"quota", kAnswersQuota},                  {"quotaused", kAnswersQuota},
};

} // namespace

DataSource::ChildList DataSource::getChildren(const std::string& uri)
{
    // A plain store names one member, "subdir", and knows nothing else about it.
    std::string child = uri;
    if (child.empty() || child.back() != '/')
        child += '/';
    child += "subdir";
    ChildList members(1);
    members.front().name = std::move(child);
    return members;
}

const DataSource::ChildList& DataSource::listAndKeep(const std::string& uri)
{
    ChildList members = getChildren(uri);
    return listing_.keep(std::move(members), cacheNow());
}

StoreStatus DataSource::stat(const std::string&, ChildRecord& record)
{
    record.setModified(Date::clock::now());
    return StoreStatus::Done;
}

std::optional<StoreSpace> DataSource::space(const std::string&) { return std::nullopt; }

uint8_t DataSource::answeredProperties() const { return kAnswersLastModified; }

std::optional<std::string> DataSource::getProperty(const std::string& name, const std::string& withURI)
{
    if (gLogDebug)
        LogWithDate("getProperty: start");
    std::optional<std::string> result;
    const Answered* answered = nullptr;
    if (std::find(props_.begin(), props_.end(), name) != props_.end())
        for (const auto& entry : kAnswered)
            if (entry.name == name && (answeredProperties() & entry.bit))
                answered = &entry;
    if (answered) {
        // The handler a property stands for is "DAV_" + its name + ":"; the name
        // is only spelt out for the log, not made for every property asked.
        if (gLogDebug)
            LogWithDate("about to DAV_%s:", name.c_str());
        if (answered->bit == kAnswersContentType) {
            result = kContentType;
        } else if (answered->bit == kAnswersQuota) {
            if (auto room = space(withURI))
                result = PropertyOfSpace(*room, name);
        } else {
            ChildRecord record;
            StoreStatus status = stat(withURI, record);
            if (status == StoreStatus::Busy)
                RaiseDAVBusy();
            if (status != StoreStatus::Done)
                RaiseDAVNotFound();
            result = PropertyOfRecord(record, name);
        }
        if (gLogDebug)
            LogWithDate("did DAV_%s:", name.c_str());
    }
    if (gLogDebug)
        LogWithDate("getProperty: end");
    return result;
}

std::optional<DataSource::Date> DataSource::getCreationDate(const std::string&) { return Date::clock::now(); }
std::optional<DataSource::Date> DataSource::getLastModified(const std::string&) { return Date::clock::now(); }
bool DataSource::isCollection(const std::string&) { return false; }
bool DataSource::exists(const std::string&) { return false; }
std::vector<std::string> DataSource::getPropnames(const std::string&) { return props_; }
DataSource::DataPtr DataSource::getData(const std::string&) { return nullptr; }
bool DataSource::writeData(const DataPtr&, const std::string&) { return false; }
DataSource::DataFilePtr DataSource::getDataFile(const std::string&) { return nullptr; }

std::optional<StoreStatus> DataSource::refusalOfUpload(const std::string&, int64_t) { return std::nullopt; }

void DataSource::shareSpaceWithinAnswer(bool) {}
bool DataSource::writeFromStream(const std::string&, platform::BodyStream&, int64_t) { return false; }
StoreStatus DataSource::removeResource(const std::string&) { return StoreStatus::Unsupported; }
StoreStatus DataSource::makeCollection(const std::string&) { return StoreStatus::Unsupported; }
StoreStatus DataSource::moveResource(const std::string&, const std::optional<std::string>&)
{
    return StoreStatus::Unsupported;
}

StoreStatus DataSource::moveResourceKeeping(const std::string& uri, const std::optional<std::string>& to)
{
    if (to && exists(*to))
        return StoreStatus::NotMoved;
    return moveResource(uri, to);
}

void DataSource::requestAnswered(int) {}
void DataSource::releaseIdleMemory() {}

StoreStatus DataSource::copyResource(const std::string&, const std::string&) { return StoreStatus::Unsupported; }

bool DataSource::writeTimes(const std::string&, std::optional<Date>, std::optional<Date>) { return false; }

DataSource::DeadProperties DataSource::deadProperties(const std::string&) { return {}; }

bool DataSource::writeDeadProperties(const std::string&, const DeadProperties&) { return false; }

void DataSource::companionsFollow(const std::string&, const std::optional<std::string>&, bool) {}

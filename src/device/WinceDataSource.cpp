#include "device/WinceDataSource.h"

#include "datasource/HrefEscaping.h"
#include "device/Metafile.h"

WinceDataSource::WinceDataSource(DeviceBackend& device, const std::string& mirrorRoot)
    : deviceStore_(device), mirroredDS(std::make_shared<UnixMirroredFSDataSource>(mirrorRoot))
{
}

StoreStatus WinceDataSource::stat(const std::string& uri, ChildRecord& record)
{
    return storeFor(uri).stat(uri, record);
}

std::optional<StoreSpace> WinceDataSource::space(const std::string& uri) { return storeFor(uri).space(uri); }

// Both stores answer every property.
uint8_t WinceDataSource::answeredProperties() const { return deviceStore_.answeredProperties(); }

DataSource& WinceDataSource::storeFor(const std::string& uri)
{
    if (IsMetafile(uri))
        return *mirroredDS;
    return deviceStore_;
}

DataSource::ChildList WinceDataSource::getChildren(const std::string& uri)
{
    ChildList children = deviceStore_.getChildren(uri);
    ChildList metafiles = mirroredDS->getChildren(uri);
    if (metafiles.empty())
        return children;
    // A metafile is named under the folder as the device's own entries are, so
    // that every spelling of the folder lists the same href for it.
    std::string folder = uriToLocal(!uri.empty() && uri.back() == '/' ? uri : uri + "/").value_or("\\");
    if (folder.back() != '\\')
        folder += '\\';
    for (auto& record : metafiles) {
        record.name = deviceStore_.localToUri(folder + PercentDecode(record.name.substr(record.name.rfind('/') + 1)));
        children.push_back(std::move(record));
    }
    return children;
}

std::optional<DataSource::Date> WinceDataSource::getCreationDate(const std::string& uri)
{
    return storeFor(uri).getCreationDate(uri);
}

std::optional<DataSource::Date> WinceDataSource::getLastModified(const std::string& uri)
{
    return storeFor(uri).getLastModified(uri);
}

DataSource::DataPtr WinceDataSource::getData(const std::string& uri) { return storeFor(uri).getData(uri); }

// A metafile can be of any size: the mirror hands it over as an open file. A
// device file is read whole when small, else in pieces as it is sent.
DataSource::DataFilePtr WinceDataSource::getDataFile(const std::string& uri) { return storeFor(uri).getDataFile(uri); }

std::optional<StoreStatus> WinceDataSource::refusalOfUpload(const std::string& uri, int64_t length)
{
    return storeFor(uri).uploadRefusal(uri, length);
}

bool WinceDataSource::writeFromStream(const std::string& uri, platform::BodyStream& clientFile, int64_t length)
{
    return storeFor(uri).putDataFromFile(uri, clientFile, length);
}

bool WinceDataSource::writeData(const DataPtr& data, const std::string& withUri)
{
    return storeFor(withUri).putData(data, withUri);
}

StoreStatus WinceDataSource::removeResource(const std::string& uri) { return storeFor(uri).delete_(uri); }

StoreStatus WinceDataSource::moveResource(const std::string& uri, const std::optional<std::string>& to)
{
    // Refused: a move across the two stores would put the resource where its new
    // name cannot reach it.
    if (to && IsMetafile(uri) != IsMetafile(*to))
        return StoreStatus::Refused;
    return storeFor(uri).move(uri, to);
}

void WinceDataSource::requestAnswered(int status)
{
    deviceStore_.requestEnded(status >= 200 && status < 400);
}

StoreStatus WinceDataSource::moveResourceKeeping(const std::string& uri, const std::optional<std::string>& to)
{
    if (to && IsMetafile(uri) != IsMetafile(*to))
        return StoreStatus::Refused;
    // A device move keeps the device's own rules.
    if (!IsMetafile(uri))
        return deviceStore_.move(uri, to);
    return mirroredDS->moveKeeping(uri, to);
}

StoreStatus WinceDataSource::makeCollection(const std::string& uri) { return storeFor(uri).mkCollection(uri); }

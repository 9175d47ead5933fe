#include "device/WinceDataSource.h"

#include "datasource/HrefEscaping.h"
#include "device/Metafile.h"

namespace {

// A property answered by the store that keeps the resource, through its own
// handler; none when that store has no such property.
std::pair<const std::string, PropertyHandlerTable::Handler> Routed(const std::string& name)
{
    return {name, [name](DataSource& self, const std::string& uri) -> std::optional<std::string> {
                DataSource& store = static_cast<WinceDataSource&>(self).storeFor(uri);
                const auto* handler = store.propertyHandlers().find(name);
                return handler ? (*handler)(store, uri) : std::nullopt;
            }};
}

} // namespace

WinceDataSource::WinceDataSource(DeviceBackend& device, const std::string& mirrorRoot)
    : device_(device), mirroredDS(std::make_shared<UnixMirroredFSDataSource>(mirrorRoot))
{
}

const PropertyHandlerTable& WinceDataSource::classPropertyHandlers()
{
    // Every resource has the same content type, so that one needs no routing.
    static const PropertyHandlerTable table(
        DataSource::classPropertyHandlers(),
        {
            Routed("DAV_resourcetype:"),
            Routed("DAV_getcontentlength:"),
            {"DAV_getcontenttype:",
             [](DataSource& self, const std::string& uri) {
                 return static_cast<WinceDataSource&>(self).device().DAV_getcontenttype(uri);
             }},
            Routed("DAV_quota:"),
            Routed("DAV_quotaused:"),
        });
    return table;
}

const PropertyHandlerTable& WinceDataSource::propertyHandlers() const { return classPropertyHandlers(); }

DataSource& WinceDataSource::storeFor(const std::string& uri)
{
    if (IsMetafile(uri))
        return *mirroredDS;
    return device_;
}

DataSource::ChildList WinceDataSource::getChildren(const std::string& uri)
{
    ChildList children = device_.getChildren(uri);
    ChildList metafiles = mirroredDS->getChildren(uri);
    if (metafiles.empty())
        return children;
    // A metafile is named under the folder as the device's own entries are, so
    // that every spelling of the folder lists the same href for it.
    std::string folder = uriToLocal(!uri.empty() && uri.back() == '/' ? uri : uri + "/").value_or("\\");
    if (folder.back() != '\\')
        folder += '\\';
    for (auto& record : metafiles) {
        const std::string& name = record["name"];
        record["name"] = device_.localToUri(folder + PercentDecode(name.substr(name.rfind('/') + 1)));
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

int WinceDataSource::uploadRefusal(const std::string& uri, int64_t length)
{
    return storeFor(uri).uploadRefusal(uri, length);
}

bool WinceDataSource::putDataFromFile(const std::string& uri, platform::BodyStream& clientFile, int64_t length)
{
    return storeFor(uri).putDataFromFile(uri, clientFile, length);
}

bool WinceDataSource::putData(const DataPtr& data, const std::string& withUri)
{
    return storeFor(withUri).putData(data, withUri);
}

int WinceDataSource::delete_(const std::string& uri) { return storeFor(uri).delete_(uri); }

int WinceDataSource::move(const std::string& uri, const std::optional<std::string>& to)
{
    // Refused: a move across the two stores would put the resource where its new
    // name cannot reach it.
    if (to && IsMetafile(uri) != IsMetafile(*to))
        return 403;
    return storeFor(uri).move(uri, to);
}

void WinceDataSource::requestAnswered(int status)
{
    device_.requestEnded(status >= 200 && status < 400);
}

int WinceDataSource::moveKeeping(const std::string& uri, const std::optional<std::string>& to)
{
    if (to && IsMetafile(uri) != IsMetafile(*to))
        return 403;
    // A device move keeps the device's own rules.
    if (!IsMetafile(uri))
        return device_.move(uri, to);
    return mirroredDS->moveKeeping(uri, to);
}

int WinceDataSource::mkCollection(const std::string& uri) { return storeFor(uri).mkCollection(uri); }

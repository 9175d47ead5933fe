#include "device/UnixMirroredFSDataSource.h"

#include "device/LogDescriptions.h"
#include "device/Metafile.h"
#include "device/MirrorFolders.h"
#include "log/LogClient.h"

#include <sys/stat.h>
#include <vector>

namespace {

// The components of a path: a leading "/" is a component of its own, empty pieces
// (doubled or trailing separators) are none.
std::vector<std::string> PathComponents(const std::string& path)
{
    std::vector<std::string> components;
    if (!path.empty() && path.front() == '/')
        components.emplace_back("/");
    for (auto& name : mirrorfs::Components(path))
        components.push_back(std::move(name));
    return components;
}

// The path made of the first `count` components.
std::string PathFromComponents(const std::vector<std::string>& components, size_t count)
{
    std::string path;
    for (size_t i = 0; i < count && i < components.size(); ++i) {
        if (!path.empty() && path.back() != '/')
            path += '/';
        path += components[i];
    }
    return path;
}

// Only metafiles are listed: a file of another name is the store's own (dead
// properties, an upload not yet complete), which no request can reach.
// A metafile under any spelling the device store routes here, ".DS_STORE" too.
bool NamedLikeMetafile(const std::string& path) { return IsMetafileName(path.substr(path.rfind('/') + 1)); }

bool IsExistingDirectory(const std::string& path)
{
    struct stat attributes {};
    return ::stat(path.c_str(), &attributes) == 0 && S_ISDIR(attributes.st_mode);
}

} // namespace

uint8_t UnixMirroredFSDataSource::answeredProperties() const
{
    return UnixTmpDirDataSource::answeredProperties() | kAnswersQuota;
}

std::optional<StoreSpace> UnixMirroredFSDataSource::space(const std::string&) { return StoreSpace{}; }

bool UnixMirroredFSDataSource::createIntermediateDirectories(const std::string& localPath)
{
    auto parent = PathComponents(localPath);
    if (!parent.empty())
        parent.pop_back();
    if (gLogDebug)
        LogWithDate("MirroredDS:createIntermediateDirectories() -- complete directory components = %@",
                    DescribeList(parent).c_str());

    size_t count = PathComponents(localRoot).size();
    while (parent.size() > count) {
        ++count;
        std::string intermediate = PathFromComponents(parent, count);
        if (gLogDebug)
            LogWithDate("MirroredDS:createIntermediateDirectories() -- intermediate path = %s", intermediate.c_str());
        if (IsExistingDirectory(intermediate))
            continue;
        if (::mkdir(intermediate.c_str(), 0777) != 0)
            return false;
        if (gLogDebug)
            LogWithDate("MirroredDS:createIntermediateDirectories() -- created intermediate directory %s",
                        intermediate.c_str());
    }
    return true;
}

DataSource::ChildList UnixMirroredFSDataSource::getChildren(const std::string& uri)
{
    ChildList children;
    // A folder reached through a link is not listed, nor anything but a file in it.
    if (!isDirectory(uri))
        return children;
    for (auto& entry : listEntries(uri)) {
        struct stat attributes {};
        if (entry.directory || ::lstat(entry.path.c_str(), &attributes) != 0 || !S_ISREG(attributes.st_mode) ||
            !NamedLikeMetafile(entry.path))
            continue;
        entry.record.setCollection(false);
        children.push_back(std::move(entry.record));
        if (gLogDebug)
            LogWithDate("UnixMirroredFSDS:getChildren() -- added dictionary for URI %s",
                        children.back().name.c_str());
    }
    return children;
}

StoreStatus UnixMirroredFSDataSource::copyResource(const std::string& uri, const std::string& to)
{
    auto destination = uriToLocal(to);
    if (!destination || !createIntermediateDirectories(*destination))
        return StoreStatus::Refused;
    return UnixTmpDirDataSource::copyResource(uri, to);
}

// The store's part of the standard answers: existence tests routed like every
// other operation, copies and file times, and the dead properties kept in the
// mirror beside the resource's place there.

#include "device/Metafile.h"
#include "device/WinceDataSource.h"

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace {

// The dead properties' file of a resource starts with this before its name.
constexpr const char* kDeadPropertiesPrefix = ".davprops-";

// One property after the other: its name, a line; the length of its value in
// bytes, a line; the value's bytes and a line end.
std::string Serialize(const DataSource::DeadProperties& properties)
{
    std::string text;
    for (const auto& [name, value] : properties)
        text += name + "\n" + std::to_string(value.size()) + "\n" + value + "\n";
    return text;
}

DataSource::DeadProperties Deserialize(const std::string& text)
{
    DataSource::DeadProperties properties;
    size_t at = 0;
    while (at < text.size()) {
        size_t nameEnd = text.find('\n', at);
        if (nameEnd == std::string::npos)
            break;
        size_t lengthEnd = text.find('\n', nameEnd + 1);
        if (lengthEnd == std::string::npos)
            break;
        std::string name = text.substr(at, nameEnd - at);
        size_t length = std::strtoull(text.c_str() + nameEnd + 1, nullptr, 10);
        // A file cut short keeps the properties before the cut.
        if (lengthEnd + 1 + length > text.size())
            break;
        properties.emplace_back(name, text.substr(lengthEnd + 1, length));
        at = lengthEnd + 1 + length + 1;
    }
    return properties;
}

// Moves, copies or removes one companion path; a missing one is nothing to do.
void Carry(const fs::path& from, const std::optional<fs::path>& to, bool copy)
{
    std::error_code failure;
    if (!fs::exists(fs::symlink_status(from, failure)))
        return;
    if (!to) {
        fs::remove_all(from, failure);
        return;
    }
    fs::remove_all(*to, failure);
    fs::create_directories(to->parent_path(), failure);
    if (copy)
        fs::copy(from, *to, fs::copy_options::recursive | fs::copy_options::overwrite_existing, failure);
    else
        fs::rename(from, *to, failure);
}

} // namespace

bool WinceDataSource::exists(const std::string& uri)
{
    DataSource& store = storeFor(uri);
    if (&store != &deviceStore_)
        return store.exists(uri);
    // The device's lookup reports a missing resource by raising.
    return ReadOutcome([&] { deviceStore_.isDirectory(uri); }) == StoreStatus::Done;
}

bool WinceDataSource::isCollection(const std::string& uri)
{
    DataSource& store = storeFor(uri);
    if (&store != &deviceStore_)
        return mirroredDS->isDirectory(uri);
    bool folder = false;
    ReadOutcome([&] { folder = deviceStore_.isDirectory(uri); });
    return folder;
}

StoreStatus WinceDataSource::copyResource(const std::string& uri, const std::string& to)
{
    // Refused: a copy across the two stores would put the file where its new
    // name cannot reach it.
    if (IsMetafile(uri) != IsMetafile(to))
        return StoreStatus::Refused;
    return storeFor(uri).copyFile(uri, to);
}

bool WinceDataSource::writeTimes(const std::string& uri, std::optional<Date> created, std::optional<Date> modified)
{
    return storeFor(uri).setTimes(uri, created, modified);
}

std::optional<std::string> WinceDataSource::deadPropertiesPath(const std::string& uri)
{
    // The root has no folder above it to keep its properties in.
    size_t slash = uri.find('/', 1);
    if (slash == std::string::npos || uri.find_first_not_of('/', slash) == std::string::npos)
        return std::nullopt;
    auto local = mirroredDS->uriToLocal(uri);
    if (!local)
        return std::nullopt;
    fs::path path(*local);
    if (!path.has_parent_path() || path.filename().empty())
        return std::nullopt;
    return (path.parent_path() / (kDeadPropertiesPrefix + path.filename().string())).string();
}

DataSource::DeadProperties WinceDataSource::deadProperties(const std::string& uri)
{
    auto path = deadPropertiesPath(uri);
    if (!path)
        return {};
    std::ifstream file(*path, std::ios::binary);
    if (!file)
        return {};
    std::ostringstream text;
    text << file.rdbuf();
    return Deserialize(text.str());
}

bool WinceDataSource::writeDeadProperties(const std::string& uri, const DeadProperties& properties)
{
    auto path = deadPropertiesPath(uri);
    if (!path)
        return false;
    std::error_code failure;
    if (properties.empty()) {
        fs::remove(*path, failure);
        return !failure;
    }
    fs::create_directories(fs::path(*path).parent_path(), failure);
    // Written beside and renamed into place, so that a failed write keeps the old set.
    std::string temporary = *path + ".new-" + std::to_string(::getpid()) + "-" + std::to_string(nextScratchNumber());
    {
        std::ofstream file(temporary, std::ios::binary | std::ios::trunc);
        file << Serialize(properties);
        if (!file.flush()) {
            fs::remove(temporary, failure);
            return false;
        }
    }
    fs::rename(temporary, *path, failure);
    if (failure)
        fs::remove(temporary, failure);
    return !failure;
}

void WinceDataSource::companionsFollow(const std::string& uri, const std::optional<std::string>& to, bool copy)
{
    // A read kept from before the change would show the old contents at either name.
    for (const std::string* name : {&uri, to ? &*to : nullptr})
        if (name)
            deviceStore_.forgetReadCacheOf(*name);
    auto fromProperties = deadPropertiesPath(uri);
    auto fromFolder = mirroredDS->uriToLocal(uri);
    std::optional<std::string> toProperties = to ? deadPropertiesPath(*to) : std::nullopt;
    std::optional<std::string> toFolder = to ? mirroredDS->uriToLocal(*to) : std::nullopt;
    if (to && (!toProperties || !toFolder))
        return;
    if (fromProperties)
        Carry(*fromProperties, to ? std::optional<fs::path>(*toProperties) : std::nullopt, copy);
    // A metafile's own place in the mirror is the metafile: the mirror moved it.
    if (fromFolder && !IsMetafile(uri) && fs::is_directory(*fromFolder))
        Carry(*fromFolder, to ? std::optional<fs::path>(*toFolder) : std::nullopt, copy);
}

// The mirror's mapping and its file operations: every path is walked from the
// mirror root one real folder at a time (MirrorFolders.h), so nothing a client
// names, and nothing planted in the mirror, reaches outside it or blocks the
// daemon.

#include "device/MirrorFolders.h"
#include "device/UnixMirroredFSDataSource.h"

#include "datasource/HrefEscaping.h"
#include "platform/BodyStream.h"
#include "platform/ReadToEnd.h"
#include "platform/WriteAll.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace {

// Uploads are copied to their file in blocks of this size.
constexpr size_t kUploadBlock = 65536;
void FoldCase(std::string& name)
{
    for (auto& c : name)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
}

} // namespace

std::optional<std::string> UnixMirroredFSDataSource::mirrorPath(const std::string& uri, bool folder)
{
    size_t slash = uri.size() > 1 ? uri.find('/', 1) : std::string::npos;
    if (slash == std::string::npos)
        return std::nullopt;
    if (!DAVVol)
        DAVVol = uri.substr(0, slash);
    // The name the device would be given: escapes decoded, and a "\" the device
    // separator it becomes there.
    std::string rest = PercentDecode(uri.substr(slash));
    if (rest.find('\0') != std::string::npos)
        return std::nullopt;
    for (auto& c : rest)
        if (c == '\\')
            c = '/';
    std::vector<std::string> names = mirrorfs::Components(rest);
    folder = folder || uri.back() == '/';
    std::string path = localRoot;
    for (size_t i = 0; i < names.size(); ++i) {
        if (names[i] == "." || names[i] == "..")
            return std::nullopt;
        // Folders are matched as the device matches them, without regard to case.
        if (i + 1 < names.size() || folder)
            FoldCase(names[i]);
        path += "/" + names[i];
    }
    return path.empty() ? std::string("/") : path;
}

std::optional<UnixMirroredFSDataSource::Standing> UnixMirroredFSDataSource::existingPlace(const std::string& uri)
{
    auto path = uriToLocal(uri);
    auto place = path ? mirrorfs::Walk(localRoot, *path, false) : std::nullopt;
    auto attributes = place ? mirrorfs::Attributes(*place) : std::nullopt;
    if (attributes)
        return Standing{std::move(*place), attributes};
    // A folder is kept under its name in lower case (mkCollection), however the
    // request spells it.
    auto folder = mirrorPath(uri, true);
    auto folded = folder && folder != path ? mirrorfs::Walk(localRoot, *folder, false) : std::nullopt;
    attributes = folded ? mirrorfs::Attributes(*folded) : std::nullopt;
    if (attributes && S_ISDIR(attributes->st_mode))
        return Standing{std::move(*folded), attributes};
    if (!place)
        return std::nullopt;
    return Standing{std::move(*place), std::nullopt};
}

std::optional<std::string> UnixMirroredFSDataSource::uriToLocal(const std::string& uri)
{
    return mirrorPath(uri, false);
}

std::optional<std::string> UnixMirroredFSDataSource::localToUri(const std::string& localPath)
{
    if (!DAVVol || localPath.compare(0, localRoot.size(), localRoot) != 0)
        return std::nullopt;
    std::string volume = *DAVVol;
    while (!volume.empty() && volume.back() == '/')
        volume.pop_back();
    std::string rest = localPath.substr(localRoot.size());
    if (rest.empty() || rest.front() != '/')
        rest.insert(rest.begin(), '/');
    return volume + EscapeHrefBytes(rest);
}

bool UnixMirroredFSDataSource::exists(const std::string& uri)
{
    auto found = existingPlace(uri);
    return found && found->attributes;
}

bool UnixMirroredFSDataSource::isFile(const std::string& uri)
{
    auto found = existingPlace(uri);
    return found && found->attributes && S_ISREG(found->attributes->st_mode);
}

bool UnixMirroredFSDataSource::isDirectory(const std::string& uri)
{
    auto found = existingPlace(uri);
    return found && found->attributes && S_ISDIR(found->attributes->st_mode);
}

// Dates and sizes only of what can be reached without a link on the way.
std::optional<DataSource::Date> UnixMirroredFSDataSource::getCreationDate(const std::string& uri)
{
    if (!exists(uri))
        RaiseDAVNotFound();
    return UnixTmpDirDataSource::getCreationDate(uri);
}

std::optional<DataSource::Date> UnixMirroredFSDataSource::getLastModified(const std::string& uri)
{
    if (!exists(uri))
        RaiseDAVNotFound();
    return UnixTmpDirDataSource::getLastModified(uri);
}

StoreStatus UnixMirroredFSDataSource::stat(const std::string& uri, ChildRecord& record)
{
    if (!exists(uri))
        return StoreStatus::NotFound;
    return UnixTmpDirDataSource::stat(uri, record);
}

DataSource::DataFilePtr UnixMirroredFSDataSource::getDataFile(const std::string& uri)
{
    auto found = existingPlace(uri);
    mirrorfs::Descriptor file = found ? mirrorfs::OpenRegularFile(found->place) : mirrorfs::Descriptor();
    struct stat attributes {};
    if (!file || ::fstat(file.get(), &attributes) != 0)
        RaiseDAVNotFound();
    return std::make_unique<DataFile>(file.release(), static_cast<uint64_t>(attributes.st_size));
}

DataSource::DataPtr UnixMirroredFSDataSource::getData(const std::string& uri)
{
    DataFilePtr file = getDataFile(uri);
    auto data = std::make_shared<Data>();
    bool read = platform::ReadToEnd(
        file->fd, [&](const uint8_t* block, size_t count) { data->insert(data->end(), block, block + count); });
    return read ? data : nullptr;
}

bool UnixMirroredFSDataSource::replace(const std::string& uri, const std::function<bool(int fd)>& write)
{
    auto path = uriToLocal(uri);
    auto place = path ? mirrorfs::Walk(localRoot, *path, true) : std::nullopt;
    if (!place || place->leaf.empty())
        return false;
    // The new file's name never starts like a metafile's, so no request can reach
    // it while it fills.
    std::string temporary;
    int fd = -1;
    for (int attempt = 0; fd < 0 && attempt < 100; ++attempt) {
        temporary = ".upload-" + std::to_string(::getpid()) + "-m" + std::to_string(nextScratchNumber());
        fd = ::openat(place->folder.get(), temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                      0666);
        if (fd < 0 && errno != EEXIST)
            return false;
    }
    if (fd < 0)
        return false;
    bool stored = write(fd);
    stored = ::close(fd) == 0 && stored;
    // Renaming replaces a file, link or FIFO standing there, never what a link
    // points to; a folder standing there makes it fail.
    if (stored)
        stored = ::renameat(place->folder.get(), temporary.c_str(), place->folder.get(), place->leaf.c_str()) == 0;
    if (!stored)
        ::unlinkat(place->folder.get(), temporary.c_str(), 0);
    return stored;
}

bool UnixMirroredFSDataSource::writeData(const DataPtr& data, const std::string& withUri)
{
    return replace(withUri, [&](int fd) { return !data || platform::WriteAll(fd, data->data(), data->size()); });
}

bool UnixMirroredFSDataSource::writeFromStream(const std::string& uri, platform::BodyStream& clientFile,
                                               int64_t /*length*/)
{
    return replace(uri, [&](int fd) {
        return clientFile.copyInBlocks(
            kUploadBlock, [fd](const uint8_t* bytes, size_t size) { return platform::WriteAll(fd, bytes, size); });
    });
}

StoreStatus UnixMirroredFSDataSource::removeResource(const std::string& uri)
{
    auto found = existingPlace(uri);
    if (!found || !found->attributes)
        return StoreStatus::Done;
    // A link is removed itself, never what it points to.
    return mirrorfs::Remove(found->place) ? StoreStatus::Done : StoreStatus::NotRemoved;
}

StoreStatus UnixMirroredFSDataSource::makeCollection(const std::string& uri)
{
    auto path = mirrorPath(uri, true);
    auto place = path ? mirrorfs::Walk(localRoot, *path, true) : std::nullopt;
    if (!place || place->leaf.empty())
        return StoreStatus::Refused;
    if (mirrorfs::Attributes(*place))
        return StoreStatus::Exists;
    return ::mkdirat(place->folder.get(), place->leaf.c_str(), 0777) == 0 ? StoreStatus::Created : StoreStatus::Refused;
}

StoreStatus UnixMirroredFSDataSource::moveResource(const std::string& uri, const std::optional<std::string>& to)
{
    return rename(uri, to, false);
}

StoreStatus UnixMirroredFSDataSource::moveResourceKeeping(const std::string& uri, const std::optional<std::string>& to)
{
    return rename(uri, to, true);
}

StoreStatus UnixMirroredFSDataSource::rename(const std::string& uri, const std::optional<std::string>& to,
                                     bool keepDestination)
{
    auto destination = to ? uriToLocal(*to) : std::nullopt;
    if (!destination)
        return StoreStatus::NotMoved;
    auto source = existingPlace(uri);
    if (!source || source->place.leaf.empty() || !source->attributes)
        return StoreStatus::NotMoved;
    const mirrorfs::Place& from = source->place;
    // The destination's folders are made even when the move then fails.
    auto into = mirrorfs::Walk(localRoot, *destination, true);
    if (!into || into->leaf.empty())
        return StoreStatus::NotMoved;
    if (auto standing = mirrorfs::Attributes(*into)) {
        // Refused: a folder at the destination's name would take the file in (and
        // hide it from every listing), or be replaced with all it holds.
        if (S_ISDIR(standing->st_mode))
            return StoreStatus::NotMoved;
        if (keepDestination)
            return StoreStatus::NotMoved;
    }
    unsigned flags = keepDestination ? RENAME_NOREPLACE : 0;
    return ::renameat2(from.folder.get(), from.leaf.c_str(), into->folder.get(), into->leaf.c_str(), flags) == 0
               ? StoreStatus::Created
               : StoreStatus::NotMoved;
}

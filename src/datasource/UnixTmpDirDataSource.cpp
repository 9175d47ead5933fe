#include "datasource/UnixTmpDirDataSource.h"

#include "platform/BodyStream.h"
#include "platform/ReadToEnd.h"
#include "platform/WriteAll.h"

#include <cerrno>
#include <chrono>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

// Uploads are copied to their file in blocks of this size.
constexpr size_t kUploadBlock = 65536;
// Joins two path parts with exactly one "/" between them; the result carries no
// trailing "/" (except the lone root), and joining onto "" gives the second part.
std::string JoinPath(const std::string& base, const std::string& part)
{
    std::string joined = base.empty() ? part : base + "/" + part;
    std::string result;
    result.reserve(joined.size());
    for (char c : joined)
        if (c != '/' || result.empty() || result.back() != '/')
            result += c;
    if (result.size() > 1 && result.back() == '/')
        result.pop_back();
    return result;
}

// The part of a URI after its volume segment names a path below the root. A ".."
// segment would climb out of it, and a NUL byte would cut the path short where
// the file system reads it (turning "..\0x" into ".."): such a URI names nothing
// the store holds, so reads find nothing and changes are refused. Percent escapes
// are not decoded, so "%2e%2e" is an ordinary name.
bool StaysBelowRoot(const std::string& rest)
{
    if (rest.find('\0') != std::string::npos)
        return false;
    size_t start = 0;
    while (start <= rest.size()) {
        size_t end = rest.find('/', start);
        if (end == std::string::npos)
            end = rest.size();
        if (rest.compare(start, end - start, "..") == 0)
            return false;
        start = end + 1;
    }
    return true;
}

// Attributes of the path itself: a symbolic link is not followed.
std::optional<struct statx> ReadAttributes(const std::string& path)
{
    struct statx attributes {};
    if (statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT, STATX_BASIC_STATS | STATX_BTIME,
              &attributes) != 0)
        return std::nullopt;
    return attributes;
}

// The attributes of a mapped path, for the reads that raise when it has none.
struct statx AttributesOrRaise(const std::optional<std::string>& path)
{
    auto attributes = path ? ReadAttributes(*path) : std::nullopt;
    if (!attributes)
        RaiseDAVNotFound();
    return *attributes;
}

DataSource::Date ToDate(const struct statx_timestamp& stamp)
{
    auto sinceEpoch = std::chrono::seconds(stamp.tv_sec) + std::chrono::nanoseconds(stamp.tv_nsec);
    return DataSource::Date(std::chrono::duration_cast<DataSource::Date::duration>(sinceEpoch));
}

std::optional<DataSource::Date> CreationDate(const struct statx& attributes)
{
    if (!(attributes.stx_mask & STATX_BTIME))
        return std::nullopt;
    return ToDate(attributes.stx_btime);
}

std::optional<DataSource::Date> ModificationDate(const struct statx& attributes)
{
    if (!(attributes.stx_mask & STATX_MTIME))
        return std::nullopt;
    return ToDate(attributes.stx_mtime);
}

bool IsDirectoryType(const struct statx& attributes)
{
    return (attributes.stx_mask & STATX_TYPE) && S_ISDIR(attributes.stx_mode);
}

// Runs "mv -- from to" from an argument vector: no shell ever reads the paths, so
// quotes, "$", back-quotes and backslashes in names reach mv unchanged, and "--"
// keeps a name beginning with "-" from being read as an option. Standard input is
// /dev/null so that mv can never stop to ask a question. True on exit status 0.
bool RunMove(const std::string& from, const std::string& to)
{
    std::string program = "mv", endOfOptions = "--", source = from, destination = to;
    char* argv[] = {program.data(), endOfOptions.data(), source.data(), destination.data(), nullptr};

    posix_spawn_file_actions_t actions;
    if (posix_spawn_file_actions_init(&actions) != 0)
        return false;
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    pid_t pid = -1;
    int spawned = posix_spawnp(&pid, "mv", &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
        return false;

    int status = 0;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR)
            return false;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

} // namespace

UnixTmpDirDataSource::UnixTmpDirDataSource() : UnixTmpDirDataSource(std::string()) {}

UnixTmpDirDataSource::UnixTmpDirDataSource(std::string localRoot) : localRoot(std::move(localRoot)) {}

uint8_t UnixTmpDirDataSource::answeredProperties() const
{
    return kAnswersLastModified | kAnswersResourceType | kAnswersContentLength | kAnswersContentType;
}

std::optional<std::string> UnixTmpDirDataSource::uriToLocal(const std::string& uri)
{
    size_t slash = uri.find('/', 1);
    if (slash == std::string::npos)
        return std::nullopt;
    if (!DAVVol)
        DAVVol = uri.substr(0, slash);
    std::string rest = uri.substr(slash);
    if (!StaysBelowRoot(rest))
        return std::nullopt;
    return JoinPath(localRoot, rest);
}

std::optional<std::string> UnixTmpDirDataSource::localToUri(const std::string& localPath)
{
    if (!DAVVol)
        return std::nullopt;
    std::string rest = localPath.size() > localRoot.size() ? localPath.substr(localRoot.size()) : std::string();
    return JoinPath(*DAVVol, rest);
}

std::vector<UnixTmpDirDataSource::ListedEntry> UnixTmpDirDataSource::listEntries(const std::string& uri)
{
    auto path = uriToLocal(uri);
    if (!path)
        return {};
    std::vector<std::string> names;
    if (DIR* dir = opendir(path->c_str())) {
        while (const dirent* entry = readdir(dir)) {
            std::string name = entry->d_name;
            if (name != "." && name != "..")
                names.push_back(std::move(name));
        }
        closedir(dir);
    }

    std::vector<ListedEntry> entries;
    for (const auto& name : names) {
        ListedEntry entry;
        entry.path = JoinPath(*path, name);
        auto attributes = ReadAttributes(entry.path);
        if (!attributes)
            RaiseDAVNotFound();
        entry.directory = IsDirectoryType(*attributes);

        ChildRecord& record = entry.record;
        record.name = localToUri(entry.path).value_or(std::string());
        if (auto created = CreationDate(*attributes))
            record.setCreated(*created);
        if (auto modified = ModificationDate(*attributes))
            record.setModified(*modified);
        if (unsigned permissions = attributes->stx_mode & 07777)
            record.setAttributes(permissions);
        // The full size, so that a listing and the "getcontentlength" property of a
        // file over 4 GiB tell the same size; an empty file's record tells none.
        if (attributes->stx_size != 0)
            record.setSize(attributes->stx_size);
        record.setCollection(entry.directory);
        entries.push_back(std::move(entry));
    }
    return entries;
}

DataSource::ChildList UnixTmpDirDataSource::getChildren(const std::string& uri)
{
    ChildList children;
    for (auto& entry : listEntries(uri))
        children.push_back(std::move(entry.record));
    return children;
}

StoreStatus UnixTmpDirDataSource::stat(const std::string& uri, ChildRecord& record)
{
    auto path = uriToLocal(uri);
    auto attributes = path ? ReadAttributes(*path) : std::nullopt;
    if (!attributes)
        return StoreStatus::NotFound;
    // Only a file or a folder is a resource here (kinds follow links, as isFile
    // and isDirectory do); dates and size are the path's own.
    bool file = isFile(uri);
    if (!file && !isDirectory(uri))
        return StoreStatus::NotFound;
    record.setCollection(!file);
    if (auto created = CreationDate(*attributes))
        record.setCreated(*created);
    if (auto modified = ModificationDate(*attributes))
        record.setModified(*modified);
    record.setSize(attributes->stx_size);
    return StoreStatus::Done;
}

std::optional<DataSource::Date> UnixTmpDirDataSource::getCreationDate(const std::string& uri)
{
    return CreationDate(AttributesOrRaise(uriToLocal(uri)));
}

std::optional<DataSource::Date> UnixTmpDirDataSource::getLastModified(const std::string& uri)
{
    return ModificationDate(AttributesOrRaise(uriToLocal(uri)));
}

bool UnixTmpDirDataSource::isFile(const std::string& uri) { return exists(uri) && !isDirectory(uri); }

bool UnixTmpDirDataSource::exists(const std::string& uri)
{
    auto path = uriToLocal(uri);
    struct stat attributes {};
    return path && ::stat(path->c_str(), &attributes) == 0;
}

bool UnixTmpDirDataSource::isDirectory(const std::string& uri)
{
    auto path = uriToLocal(uri);
    struct stat attributes {};
    return path && ::stat(path->c_str(), &attributes) == 0 && S_ISDIR(attributes.st_mode);
}

DataSource::DataPtr UnixTmpDirDataSource::getData(const std::string& uri)
{
    if (!isFile(uri))
        RaiseDAVNotFound();
    auto path = uriToLocal(uri);
    int fd = path ? ::open(path->c_str(), O_RDONLY | O_CLOEXEC) : -1;
    if (fd < 0)
        return nullptr;
    auto data = std::make_shared<Data>();
    bool read = platform::ReadToEnd(
        fd, [&](const uint8_t* block, size_t count) { data->insert(data->end(), block, block + count); });
    ::close(fd);
    return read ? data : nullptr;
}

DataSource::DataFilePtr UnixTmpDirDataSource::getDataFile(const std::string& uri)
{
    if (!isFile(uri))
        RaiseDAVNotFound();
    auto path = uriToLocal(uri);
    int fd = path ? ::open(path->c_str(), O_RDONLY | O_CLOEXEC) : -1;
    struct stat attributes {};
    if (fd >= 0 && ::fstat(fd, &attributes) == 0 && S_ISREG(attributes.st_mode))
        return std::make_unique<DataFile>(fd, static_cast<uint64_t>(attributes.st_size));
    if (fd >= 0)
        ::close(fd);
    return nullptr;
}

bool UnixTmpDirDataSource::writeData(const DataPtr& data, const std::string& withUri)
{
    try {
        const uint8_t* bytes = data ? data->data() : nullptr;
        size_t size = data ? data->size() : 0;
        bool replacing = isFile(withUri);
        auto path = uriToLocal(withUri);
        if (!path)
            return false;

        if (!replacing) {
            // Only a new file: a directory or a dangling link standing there makes
            // the creation fail, as does a missing parent.
            int fd = ::open(path->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            if (fd < 0)
                return false;
            bool stored = platform::WriteAll(fd, bytes, size);
            stored = ::close(fd) == 0 && stored;
            if (!stored)
                ::unlink(path->c_str());
            return stored;
        }

        int fd = ::open(path->c_str(), O_WRONLY | O_CLOEXEC);
        if (fd < 0)
            return false;
        bool stored = platform::WriteAll(fd, bytes, size) && ::ftruncate(fd, static_cast<off_t>(size)) == 0;
        stored = ::close(fd) == 0 && stored;
        return stored;
    } catch (...) {
        return false;
    }
}

bool UnixTmpDirDataSource::replaceFromStream(const std::string& localPath, platform::BodyStream& body)
{
    // The new file's name never starts like a metafile's, so no request can reach
    // it while it fills.
    std::string folder = localPath.substr(0, localPath.rfind('/') + 1);
    std::string temporary;
    int fd = -1;
    for (int attempt = 0; fd < 0 && attempt < 100; ++attempt) {
        temporary = folder + ".upload-" + std::to_string(::getpid()) + "-" + std::to_string(nextScratchNumber());
        fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST)
            return false;
    }
    if (fd < 0)
        return false;

    bool stored = body.copyInBlocks(kUploadBlock, [fd](const uint8_t* bytes, size_t size) {
        return platform::WriteAll(fd, bytes, size);
    });
    stored = ::close(fd) == 0 && stored;
    // Renaming replaces a file (or a link) standing there, never what a link points
    // to; a folder standing there makes it fail.
    if (stored)
        stored = ::rename(temporary.c_str(), localPath.c_str()) == 0;
    if (!stored)
        ::unlink(temporary.c_str());
    return stored;
}

StoreStatus UnixTmpDirDataSource::removeResource(const std::string& uri)
{
    if (!isFile(uri) && !isDirectory(uri))
        return StoreStatus::Done;
    auto path = uriToLocal(uri);
    if (!path)
        return StoreStatus::Done;
    // A link is removed itself, never what it points to.
    std::error_code failure;
    std::filesystem::remove_all(*path, failure);
    return failure ? StoreStatus::NotRemoved : StoreStatus::Done;
}

StoreStatus UnixTmpDirDataSource::makeCollection(const std::string& uri)
{
    if (exists(uri))
        return StoreStatus::Exists;
    auto path = uriToLocal(uri);
    if (!path)
        return StoreStatus::Refused;
    return ::mkdir(path->c_str(), 0777) == 0 ? StoreStatus::Created : StoreStatus::Refused;
}

StoreStatus UnixTmpDirDataSource::moveResource(const std::string& uri, const std::optional<std::string>& to)
{
    if (!to)
        return StoreStatus::NotMoved;
    auto source = uriToLocal(uri);
    auto destination = uriToLocal(*to);
    if (!source || !destination)
        return StoreStatus::NotMoved;
    return RunMove(*source, *destination) ? StoreStatus::Created : StoreStatus::NotMoved;
}

#include "device/MirrorFolders.h"

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace mirrorfs {

namespace {

// How deep a folder the removal descends; deeper ones are left (the removal
// then fails) rather than risk the stack.
constexpr int kRemoveDepth = 64;


Descriptor OpenFolderAt(int at, const std::string& name)
{
    return Descriptor(::openat(at, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

bool RemoveAt(int folder, const std::string& name, int depth)
{
    struct stat attributes {};
    if (::fstatat(folder, name.c_str(), &attributes, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT;
    if (!S_ISDIR(attributes.st_mode))
        return ::unlinkat(folder, name.c_str(), 0) == 0 || errno == ENOENT;
    if (depth >= kRemoveDepth)
        return false;
    Descriptor inner = OpenFolderAt(folder, name);
    if (!inner)
        return false;
    std::vector<std::string> names;
    int listed = ::dup(inner.get());
    if (DIR* dir = listed >= 0 ? ::fdopendir(listed) : nullptr) {
        while (const dirent* entry = ::readdir(dir)) {
            std::string entryName = entry->d_name;
            if (entryName != "." && entryName != "..")
                names.push_back(std::move(entryName));
        }
        ::closedir(dir);
    } else {
        if (listed >= 0)
            ::close(listed);
        return false;
    }
    bool removed = true;
    for (const auto& entryName : names)
        removed = RemoveAt(inner.get(), entryName, depth + 1) && removed;
    return removed && ::unlinkat(folder, name.c_str(), AT_REMOVEDIR) == 0;
}

} // namespace

std::vector<std::string> Components(const std::string& path)
{
    std::vector<std::string> components;
    size_t start = 0;
    while (start < path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos)
            end = path.size();
        if (end > start)
            components.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return components;
}

Descriptor& Descriptor::operator=(Descriptor&& other) noexcept
{
    if (this != &other) {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = other.release();
    }
    return *this;
}

Descriptor::~Descriptor()
{
    if (fd_ >= 0)
        ::close(fd_);
}

int Descriptor::release()
{
    int fd = fd_;
    fd_ = -1;
    return fd;
}

std::optional<Place> Walk(const std::string& root, const std::string& localPath, bool makeFolders)
{
    if (localPath.compare(0, root.size(), root) != 0)
        return std::nullopt;
    std::vector<std::string> steps = Components(localPath.substr(root.size()));
    Descriptor folder(::open(root.empty() ? "/" : root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folder)
        return std::nullopt;
    std::string leaf;
    if (!steps.empty()) {
        leaf = steps.back();
        steps.pop_back();
    }
    for (const auto& step : steps) {
        if (step == "." || step == "..")
            return std::nullopt;
        Descriptor next = OpenFolderAt(folder.get(), step);
        if (!next && errno == ENOENT && makeFolders && ::mkdirat(folder.get(), step.c_str(), 0777) == 0)
            next = OpenFolderAt(folder.get(), step);
        if (!next)
            return std::nullopt;
        folder = std::move(next);
    }
    if (leaf == "." || leaf == "..")
        return std::nullopt;
    return Place{std::move(folder), leaf};
}

std::optional<struct stat> Attributes(const Place& place)
{
    struct stat attributes {};
    int result = place.leaf.empty() ? ::fstat(place.folder.get(), &attributes)
                                    : ::fstatat(place.folder.get(), place.leaf.c_str(), &attributes,
                                                AT_SYMLINK_NOFOLLOW);
    if (result != 0)
        return std::nullopt;
    return attributes;
}

Descriptor OpenRegularFile(const Place& place)
{
    if (place.leaf.empty())
        return Descriptor();
    // Non-blocking, so that a FIFO never holds the open; the mode is then put back
    // for the reads of a regular file.
    Descriptor file(
        ::openat(place.folder.get(), place.leaf.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    struct stat attributes {};
    if (!file || ::fstat(file.get(), &attributes) != 0 || !S_ISREG(attributes.st_mode))
        return Descriptor();
    ::fcntl(file.get(), F_SETFL, ::fcntl(file.get(), F_GETFL) & ~O_NONBLOCK);
    return file;
}

bool Remove(const Place& place)
{
    if (place.leaf.empty())
        return false;
    return RemoveAt(place.folder.get(), place.leaf, 0);
}

} // namespace mirrorfs

#pragma once

#include <optional>
#include <string>
#include <sys/stat.h>
#include <vector>

// The mirror's files are reached one folder at a time from its root, never
// through a symbolic link and never by opening anything but a folder or a
// regular file: whatever else stands in the mirror (a link planted there, a
// FIFO, a device node) is neither read, written nor waited on.
namespace mirrorfs {

// An open descriptor, closed with this object.
class Descriptor {
public:
    Descriptor() = default;
    explicit Descriptor(int fd) : fd_(fd) {}
    Descriptor(Descriptor&& other) noexcept : fd_(other.release()) {}
    Descriptor& operator=(Descriptor&& other) noexcept;
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor();
    int get() const { return fd_; }
    int release();
    explicit operator bool() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

// The names along a path; empty pieces (doubled, leading or trailing "/") are none.
std::vector<std::string> Components(const std::string& path);

// The folder that holds a path below the root, open, and the path's last name
// (empty for the root itself).
struct Place {
    Descriptor folder;
    std::string leaf;
};

// Walks from `root` down to the folder holding `localPath` (a path below the
// root, as the mirror's mapping gives it), taking each step only into a real
// folder. With `makeFolders`, missing folders on the way are made. None when a
// step is missing (and not made), a link, or anything but a folder.
std::optional<Place> Walk(const std::string& root, const std::string& localPath, bool makeFolders);

// The attributes of what stands at the place itself (a link is not followed);
// none when nothing does. The root's are its own.
std::optional<struct stat> Attributes(const Place& place);

// Opens the regular file at the place for reading: a link, a FIFO, a device node
// or a folder is refused without waiting. Invalid when refused or missing.
Descriptor OpenRegularFile(const Place& place);

// Removes what stands at the place: a folder with everything in it (links in it
// removed themselves), anything else unlinked. False when something remains.
bool Remove(const Place& place);

} // namespace mirrorfs

#pragma once

#include "datasource/UnixTmpDirDataSource.h"
#include "device/MirrorFolders.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>

// The local mirror for the desktop's metadata files ("._*", ".DS_Store*") of the
// device tree: they live below the mirror directory instead of on the device.
// Unlike its base it makes missing parent folders on demand, so that a metafile can
// be kept for any device folder without that folder existing here, and its
// listings hold files only (they are appended to device listings).
class UnixMirroredFSDataSource : public UnixTmpDirDataSource {
public:
    using UnixTmpDirDataSource::UnixTmpDirDataSource;

    // Makes every missing folder between the root and the parent of `localPath`.
    // False when one cannot be made (a file in the way, no permission). The root
    // and what lies above it are never tested or made.
    bool createIntermediateDirectories(const std::string& localPath);

    // A URI names the same mirror file however it is spelled, as a device name is:
    // escapes decoded (an escaped "/" or "\" a separator), folder names in lower
    // case. None for a name holding NUL, "." or "..".
    std::optional<std::string> uriToLocal(const std::string& uri) override;
    // The URI of a mirror path, each name escaped by the href byte rule.
    std::optional<std::string> localToUri(const std::string& localPath) override;

    // Kinds never follow a link: a link, a FIFO or a device node standing in the
    // mirror exists, but is neither a file nor a folder, and is never opened.
    bool exists(const std::string& uri) override;
    bool isFile(const std::string& uri) override;
    bool isDirectory(const std::string& uri) override;
    std::optional<Date> getCreationDate(const std::string& uri) override;
    std::optional<Date> getLastModified(const std::string& uri) override;
    StoreStatus stat(const std::string& uri, ChildRecord& record) override;
    DataPtr getData(const std::string& uri) override;
    DataFilePtr getDataFile(const std::string& uri) override;

    // The regular files named like metafiles of the base listing, none a collection.
    ChildList getChildren(const std::string& uri) override;

    // A metafile takes no room on the device: its quota and used quota are "0".
    std::optional<StoreSpace> space(const std::string& uri) override;
    uint8_t answeredProperties() const override;

protected:
    // The changes, as the public operations of DataSource call them.
    StoreStatus removeResource(const std::string& uri) override;
    // Each of these first makes the missing parent folders of its target (the
    // destination for a move), then does what the base does. A failure there is
    // ignored by putData (the store then fails), and answered Refused by
    // mkCollection and NotMoved by move.
    bool writeData(const DataPtr& data, const std::string& withUri) override;
    // Streams the body into a new file beside the target (making the missing
    // parent folders first) and puts it in the target's place only once every
    // byte arrived; a body that ends early leaves the old file as it was.
    bool writeFromStream(const std::string& uri, platform::BodyStream& clientFile, int64_t length) override;
    StoreStatus makeCollection(const std::string& uri) override;
    // Renames in place, without another process: NotMoved when the source is missing,
    // when a folder stands at the destination (nothing is ever moved into it), or,
    // for moveKeeping, when anything does. A file standing there is replaced.
    StoreStatus moveResource(const std::string& uri, const std::optional<std::string>& to) override;
    StoreStatus moveResourceKeeping(const std::string& uri, const std::optional<std::string>& to) override;
    // A copy of the file, made beside the target and put in its place whole.
    StoreStatus copyResource(const std::string& uri, const std::string& to) override;

private:
    // The mirror path of a URI; `folder` folds its last name too (it names a folder).
    std::optional<std::string> mirrorPath(const std::string& uri, bool folder);
    // A place in the mirror and what was found there when it was looked at; none
    // when nothing stands there.
    struct Standing {
        mirrorfs::Place place;
        std::optional<struct stat> attributes;
    };
    // Where what the URI names stands: its own path, else a folder of that name in
    // lower case; the path (with nothing there) when neither is. Callers ask the
    // attributes found here rather than look again.
    std::optional<Standing> existingPlace(const std::string& uri);
    StoreStatus rename(const std::string& uri, const std::optional<std::string>& to, bool keepDestination);
    // Writes a new file beside the URI's and renames it over the URI's once
    // `write` succeeded; the parent folders are made first.
    bool replace(const std::string& uri, const std::function<bool(int fd)>& write);
};

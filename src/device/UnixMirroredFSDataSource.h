#pragma once

#include "datasource/UnixTmpDirDataSource.h"

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

    // This class's own shared instance, over the root "".
    static std::shared_ptr<UnixMirroredFSDataSource> defaultDataSource();

    // Makes every missing folder between the root and the parent of `localPath`.
    // False when one cannot be made (a file in the way, no permission). The root
    // and what lies above it are never tested or made.
    bool createIntermediateDirectories(const std::string& localPath);

    // The base listing without its directories; every record's "resourcetype" is "".
    ChildList getChildren(const std::string& uri) override;
    // Each of these first makes the missing parent folders of its target (the
    // destination for a move), then does what the base does. A failure there is
    // ignored by putData (the store then fails), and answered 403 by mkCollection
    // and 412 by move.
    bool putData(const DataPtr& data, const std::string& withUri) override;
    // Streams the body into a new file beside the target (making the missing
    // parent folders first) and puts it in the target's place only once every
    // byte arrived; a body that ends early leaves the old file as it was.
    bool putDataFromFile(const std::string& uri, platform::BodyStream& clientFile, int64_t length) override;
    int mkCollection(const std::string& uri) override;
    int move(const std::string& uri, const std::optional<std::string>& to) override;
    // A copy of the file, made beside the target and put in its place whole.
    int copyFile(const std::string& uri, const std::string& to) override;
    // The mirror's path of a URI (uriToLocal made public for the device store's use).
    std::optional<std::string> localPath(const std::string& uri) { return uriToLocal(uri); }

    // A metafile takes no room on the device: its quota and used quota are "0".
    std::optional<std::string> DAV_noQuota(const std::string& uri);
    const PropertyHandlerTable& propertyHandlers() const override;
    static const PropertyHandlerTable& classPropertyHandlers();
};

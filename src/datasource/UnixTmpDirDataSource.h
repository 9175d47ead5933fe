#pragma once

#include "datasource/DataSource.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

// The store over a directory of the local file system: the URI /volume/path names
// `path` below the store's local root. Percent escapes are not decoded; they name
// local files with those characters.
//
// Every operation maps URIs and tests kinds through the receiver (uriToLocal,
// localToUri, isFile, isDirectory, exists are virtual), so a subclass's versions
// are the ones used.
class UnixTmpDirDataSource : public DataSource {
public:
    // A store over the file-system root ("").
    UnixTmpDirDataSource();
    // A store over the folder `localRoot`.
    explicit UnixTmpDirDataSource(std::string localRoot);

    const std::optional<std::string>& volume() const { return DAVVol; }
    const std::string& root() const { return localRoot; }

    // The local path a URI names. The first URI mapped fixes the volume segment.
    // None when the URI names nothing in the store: no "/" after its volume
    // segment, or a path that would leave the local root.
    virtual std::optional<std::string> uriToLocal(const std::string& uri);
    // The URI of a local path below the root, under the remembered volume; none
    // while no URI has been mapped yet.
    virtual std::optional<std::string> localToUri(const std::string& localPath);

    // One record per entry, in the order the directory lists them; an empty list
    // for a folder that cannot be listed. Raises DAVNotFoundException when an
    // entry's attributes cannot be read (it vanished meanwhile).
    ChildList getChildren(const std::string& uri) override;
    // The birth time where the file system keeps one, else none. Both dates raise
    // DAVNotFoundException for a path whose attributes cannot be read.
    std::optional<Date> getCreationDate(const std::string& uri) override;
    std::optional<Date> getLastModified(const std::string& uri) override;

    // Kinds follow symbolic links.
    virtual bool isFile(const std::string& uri);
    bool exists(const std::string& uri) override;
    virtual bool isDirectory(const std::string& uri);
    bool isCollection(const std::string& uri) override { return isDirectory(uri); }

    // A file or a directory, with its dates and full size;
    // NotFound for anything else.
    StoreStatus stat(const std::string& uri, ChildRecord& record) override;
    // Last modified, resource type, content length and content type.
    uint8_t answeredProperties() const override;
    // All bytes of a file; raises DAVNotFoundException when the URI is not a file,
    // null when the file cannot be opened.
    DataPtr getData(const std::string& uri) override;
    // The file open for reading, to be sent in pieces; raises as getData does,
    // none when the file cannot be opened.
    DataFilePtr getDataFile(const std::string& uri) override;

protected:
    // The changes, as the public operations of DataSource call them.
    // Creates the file or replaces the content of the existing one. False on any
    // failure (a directory in the way, a missing parent, a failed write).
    bool writeData(const DataPtr& data, const std::string& withUri) override;
    // Done when removed (a directory with its content) or when nothing was there;
    // NotRemoved when the removal fails.
    StoreStatus removeResource(const std::string& uri) override;
    // Created; Exists when something stands there; Refused when it cannot be made.
    StoreStatus makeCollection(const std::string& uri) override;
    // Created when the move command succeeds, NotMoved otherwise.
    StoreStatus moveResource(const std::string& uri, const std::optional<std::string>& to) override;
    // A copy of the file, made beside the target and renamed into its place whole
    // (UnixTmpDirDataSourceCopy.cpp): Created, or Refused when it cannot be made.
    StoreStatus copyResource(const std::string& uri, const std::string& to) override;

    // One listed entry: its local path, whether it is a directory (the entry
    // itself, links not followed) and its child record.
    struct ListedEntry {
        std::string path;
        bool directory = false;
        ChildRecord record;
    };
    // The listing shared by this store and its subclasses (see getChildren).
    std::vector<ListedEntry> listEntries(const std::string& uri);
    // Writes the body to a new file in the folder of `localPath` and renames it
    // over `localPath` once every byte arrived; true then. On any failure the new
    // file is removed and whatever stood at `localPath` is left as it was.
    bool replaceFromStream(const std::string& localPath, platform::BodyStream& body);

    std::optional<std::string> DAVVol;
    std::string localRoot;
};

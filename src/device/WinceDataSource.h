#pragma once

#include "datasource/DataSource.h"
#include "device/DeviceFileStore.h"
#include "device/UnixMirroredFSDataSource.h"

#include <memory>
#include <optional>
#include <string>

// Where the desktop's metadata files of the device tree are kept (before "~" is
// expanded to the user's home folder).
inline constexpr const char* kMirrorDirectory = "~/Library/Caches/pxwm_mirroredfs";

// The store the daemon serves: the attached device's file system, except that the
// desktop's metadata files (IsMetafile) never reach the device. They live in a
// local mirror, whose files of a folder are appended to the device's listing.
// Each operation on a URI is sent whole to one of the two stores (storeFor).
class WinceDataSource : public DataSource {
public:
    static constexpr auto kReadCacheLife = DeviceFileStore::kReadCacheLife;

    // A store over `device` (which outlives it) and the mirror directory.
    WinceDataSource(DeviceBackend& device, const std::string& mirrorRoot);

    DeviceFileStore& deviceStore() { return deviceStore_; }
    std::optional<std::string> uriToLocal(const std::string& uri) { return deviceStore_.uriToLocal(uri); }
    std::string localToUri(const std::string& devicePath) { return deviceStore_.localToUri(devicePath); }

    // The store that keeps the resource a URI names: the mirror for a metafile,
    // else the device.
    DataSource& storeFor(const std::string& uri);

    ChildList getChildren(const std::string& uri) override;
    StoreStatus stat(const std::string& uri, ChildRecord& record) override;
    std::optional<StoreSpace> space(const std::string& uri) override;
    uint8_t answeredProperties() const override;
    std::optional<Date> getCreationDate(const std::string& uri) override;
    std::optional<Date> getLastModified(const std::string& uri) override;
    DataPtr getData(const std::string& uri) override;
    DataFilePtr getDataFile(const std::string& uri) override;
    // The volume a request named is kept only when the request worked.
    void requestAnswered(int status) override;
    void shareSpaceWithinAnswer(bool on) override { deviceStore_.shareSpaceWithinAnswer(on); }
    void releaseIdleMemory() override { deviceStore_.releaseIdleMemory(); }
    // The device's caches age by the same clock.
    void setClock(CacheClock clock) override
    {
        deviceStore_.setClock(clock);
        DataSource::setClock(std::move(clock));
    }

    // For the standard answers (WinceDataSourceStandard.cpp). Dead properties live in the
    // mirror, in a file beside the mirror's place for the resource whose name no
    // request reaches (it does not start like a metafile's) and no listing shows.
    bool exists(const std::string& uri) override;
    bool isCollection(const std::string& uri) override;
    DeadProperties deadProperties(const std::string& uri) override;
    // The dead properties' file and the mirror's folder for the resource (a
    // folder's members' metafiles and dead properties) follow it.
    void companionsFollow(const std::string& uri, const std::optional<std::string>& to, bool copy) override;

protected:
    // The changes, as the public operations of DataSource call them.
    std::optional<StoreStatus> refusalOfUpload(const std::string& uri, int64_t length) override;
    bool writeFromStream(const std::string& uri, platform::BodyStream& clientFile, int64_t length) override;
    bool writeData(const DataPtr& data, const std::string& withUri) override;
    StoreStatus removeResource(const std::string& uri) override;
    StoreStatus moveResource(const std::string& uri, const std::optional<std::string>& to) override;
    StoreStatus moveResourceKeeping(const std::string& uri, const std::optional<std::string>& to) override;
    StoreStatus makeCollection(const std::string& uri) override;
    StoreStatus copyResource(const std::string& uri, const std::string& to) override;
    bool writeTimes(const std::string& uri, std::optional<Date> created, std::optional<Date> modified) override;
    bool writeDeadProperties(const std::string& uri, const DeadProperties& properties) override;

private:
    // The mirror's path for the resource's dead properties; none for the root.
    std::optional<std::string> deadPropertiesPath(const std::string& uri);

    DeviceFileStore deviceStore_;
    std::shared_ptr<UnixMirroredFSDataSource> mirroredDS;
};

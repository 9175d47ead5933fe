#include "device/DeviceFileStore.h"

namespace {

bool NamesScratch(const std::optional<std::string>& devicePath)
{
    if (!devicePath)
        return false;
    size_t cut = devicePath->rfind('\\');
    return DeviceFileStore::IsScratchName(cut == std::string::npos ? *devicePath : devicePath->substr(cut + 1));
}

} // namespace

StoreStatus DeviceFileStore::removeResource(const std::string& uri)
{
    auto path = uriToLocal(uri);
    forgetBeforeChange();
    removeStrays();
    // Refused: a scratch file belongs to the daemon's own upload.
    if (!path || NamesScratch(path))
        return StoreStatus::NotRemoved;
    if (rapi.CeDeleteFile(*path))
        return StoreStatus::Done;
    // Not a file: perhaps an empty folder.
    return rapi.CeRemoveDirectory(*path) ? StoreStatus::Done : StoreStatus::NotRemoved;
}

StoreStatus DeviceFileStore::moveResource(const std::string& uri, const std::optional<std::string>& to)
{
    auto destination = to ? uriToLocal(*to) : std::nullopt;
    auto source = uriToLocal(uri);
    forgetBeforeChange();
    removeStrays();
    if (!source || !destination || NamesScratch(source) || NamesScratch(destination))
        return StoreStatus::NotMoved;
    return rapi.CeMoveFile(*source, *destination) ? StoreStatus::Created : StoreStatus::NotMoved;
}

StoreStatus DeviceFileStore::makeCollection(const std::string& uri)
{
    forgetBeforeChange();
    removeStrays();
    auto path = uriToLocal(uri);
    if (!path || NamesScratch(path))
        return StoreStatus::Exists;
    return rapi.CeCreateDirectory(*path) ? StoreStatus::Created : StoreStatus::Exists;
}

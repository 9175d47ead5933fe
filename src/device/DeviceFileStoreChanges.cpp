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

int DeviceFileStore::delete_(const std::string& uri)
{
    auto path = uriToLocal(uri);
    forgetBeforeChange();
    removeStrays();
    // Refused: a scratch file belongs to the daemon's own upload.
    if (!path || NamesScratch(path))
        return 422;
    if (rapi.CeDeleteFile(*path))
        return 204;
    // Not a file: perhaps an empty folder.
    return rapi.CeRemoveDirectory(*path) ? 204 : 422;
}

int DeviceFileStore::move(const std::string& uri, const std::optional<std::string>& to)
{
    auto destination = to ? uriToLocal(*to) : std::nullopt;
    auto source = uriToLocal(uri);
    forgetBeforeChange();
    removeStrays();
    if (!source || !destination || NamesScratch(source) || NamesScratch(destination))
        return 412;
    return rapi.CeMoveFile(*source, *destination) ? 201 : 412;
}

int DeviceFileStore::mkCollection(const std::string& uri)
{
    forgetBeforeChange();
    removeStrays();
    auto path = uriToLocal(uri);
    if (!path || NamesScratch(path))
        return 405;
    return rapi.CeCreateDirectory(*path) ? 201 : 405;
}

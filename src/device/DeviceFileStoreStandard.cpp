// The device store's operations for the standard answers: copies made by the
// device itself and file times set on the device.

#include "device/DeviceFileStore.h"

#include "pavrixwm/DeviceFileTime.h"

StoreStatus DeviceFileStore::copyResource(const std::string& uri, const std::string& to)
{
    auto source = uriToLocal(uri);
    auto destination = uriToLocal(to);
    clearFindCache();
    forgetReadCacheOf(to);
    if (!source || !destination)
        return StoreStatus::Refused;
    // The device copies the bytes itself: none of them crosses the link.
    if (rapi.CeCopyFile(*source, *destination, FALSE))
        return StoreStatus::Created;
    return rapi.CeGetLastError() == ERROR_SHARING_VIOLATION ? StoreStatus::Busy : StoreStatus::Refused;
}

bool DeviceFileStore::writeTimes(const std::string& uri, std::optional<Date> created, std::optional<Date> modified)
{
    auto path = uriToLocal(uri);
    clearFindCache();
    if (!path)
        return false;
    HANDLE handle = rapi.CeCreateFile(*path, GENERIC_WRITE, FILE_SHARE_READ, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    FILETIME creation = created ? FileTimeOf(FileTimeFromTimePoint(*created)) : FILETIME{};
    FILETIME write = modified ? FileTimeOf(FileTimeFromTimePoint(*modified)) : FILETIME{};
    BOOL set = rapi.CeSetFileTime(handle, created ? &creation : nullptr, nullptr, modified ? &write : nullptr);
    rapi.CeCloseHandle(handle);
    return set != FALSE;
}

#include "daemon/HandOffFiles.h"

#include "platform/HomeFolder.h"
#include "platform/PlistObject.h"

#include <cstdio>

std::optional<std::vector<uint8_t>> gDevicePassword;
std::optional<std::string> gDeviceIPAddress;

namespace {

// Loads a hand-off dictionary; the file is deleted only after a successful read.
std::optional<platform::PlistObject> TakeHandOffFile(const std::string& path)
{
    auto dict = platform::PlistObject::loadDictionary(path);
    if (dict)
        std::remove(path.c_str());
    return dict;
}

} // namespace

std::string HandOffFolder(const std::string& home) { return platform::ExpandTilde("~/Library/Caches", home); }
std::string PortFilePath(const std::string& home) { return HandOffFolder(home) + "/Pavrix_webdavtmp.plist"; }
std::string PasswordFilePath(const std::string& home) { return HandOffFolder(home) + "/Pavrix_webdavpasswdtmp.plist"; }
std::string AddressFilePath(const std::string& home) { return HandOffFolder(home) + "/Pavrix_webdavipaddresstmp.plist"; }

void TakeOverHandOffFiles(const std::string& home)
{
    // On this platform the cache folder may not exist yet; the port file and the
    // mirror folder live in it.
    platform::CreateFolderWithParents(HandOffFolder(home));

    if (auto passwords = TakeHandOffFile(PasswordFilePath(home))) {
        // A file without a usable "Password" value leaves an empty password: the
        // launcher did hand one over, it just held nothing.
        gDevicePassword = passwords->getData(kPasswordKey).value_or(std::vector<uint8_t>{});
    } else {
        gDevicePassword.reset();
    }
    if (auto addresses = TakeHandOffFile(AddressFilePath(home))) {
        if (auto ip = addresses->getString(kAddressKey))
            gDeviceIPAddress = *ip;
    }
}

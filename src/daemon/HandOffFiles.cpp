#include "daemon/HandOffFiles.h"

#include "platform/HomeFolder.h"

std::string HandOffFolder() { return platform::ExpandTilde("~/Library/Caches"); }
std::string PortFilePath() { return HandOffFolder() + "/Pavrix_webdavtmp.plist"; }
std::string PasswordFilePath() { return HandOffFolder() + "/Pavrix_webdavpasswdtmp.plist"; }
std::string AddressFilePath() { return HandOffFolder() + "/Pavrix_webdavipaddresstmp.plist"; }

#pragma once

#include <string>

// The small property lists through which the launcher and the daemon hand values
// to each other, in the user's cache folder. The launcher writes the password and
// address files and reads the port file; the daemon does the opposite, so both
// take the names from here.

// Written by the daemon at every start: the bound port and its process id.
std::string PortFilePath();
inline constexpr const char* kPortKey = "WebdavPort";
inline constexpr const char* kPIDKey = "WebdavPID";

// Written by the launcher, taken over and deleted by the daemon.
std::string PasswordFilePath();
inline constexpr const char* kPasswordKey = "Password"; // a data value
std::string AddressFilePath();
inline constexpr const char* kAddressKey = "IpAddr"; // a string

// The folder that holds the three files.
std::string HandOffFolder();

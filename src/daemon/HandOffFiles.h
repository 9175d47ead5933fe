#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// The small property lists through which the launcher and the daemon hand values
// to each other, in the cache folder of the user whose home folder is `home`. The
// launcher writes the password and address files and reads the port file; the
// daemon does the opposite, so both take the names from here.

// Written by the daemon at every start: the bound port and its process id.
std::string PortFilePath(const std::string& home);
inline constexpr const char* kPortKey = "WebdavPort";
inline constexpr const char* kPIDKey = "WebdavPID";

// Written by the launcher, taken over and deleted by the daemon.
std::string PasswordFilePath(const std::string& home);
inline constexpr const char* kPasswordKey = "Password"; // a data value
std::string AddressFilePath(const std::string& home);
inline constexpr const char* kAddressKey = "IpAddr"; // a string

// The folder that holds the three files.
std::string HandOffFolder(const std::string& home);

// Handed over by the launcher through the password and address files; held for
// the life of the process and not used further.
extern std::optional<std::vector<uint8_t>> gDevicePassword;
extern std::optional<std::string> gDeviceIPAddress;

// Makes the cache folder if it is missing, then takes the password and address
// files over into gDevicePassword and gDeviceIPAddress, deleting each file once it
// was read. A missing or unreadable password file leaves no password; a missing
// address file leaves the address as it was.
void TakeOverHandOffFiles(const std::string& home);

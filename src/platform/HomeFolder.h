#pragma once

#include <string>

namespace platform {

// The user's home folder: $HOME, else the password database's entry.
std::string HomeFolder();
// "~" and "~/..." with the home folder put in; other paths unchanged.
std::string ExpandTilde(const std::string& path);
// Creates a folder and its missing parents (mode 0755). True when it exists as a
// folder afterwards.
bool CreateFolderWithParents(const std::string& path);

} // namespace platform

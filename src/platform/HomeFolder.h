#pragma once

#include <optional>
#include <string>

namespace platform {

// The user's home folder: `homeVariable` (the value of HOME the process was
// started with) when it is set and not empty, else the password database's entry.
std::string HomeFolder(const std::optional<std::string>& homeVariable);
// "~" and "~/..." with the home folder `home` put in; other paths unchanged.
std::string ExpandTilde(const std::string& path, std::string home);
// Creates a folder and its missing parents (mode 0755). True when it exists as a
// folder afterwards.
bool CreateFolderWithParents(const std::string& path);

} // namespace platform

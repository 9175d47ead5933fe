#pragma once

// Installing the build the way a packager or a user does, for the tests of what an
// installation holds and does.

#include "support/TestSupport.h"

#include <algorithm>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace testsupport {

// cmake --install of this build under `prefix`, staged into `destdir` when given.
inline CommandResult InstallBuild(const std::string& prefix, const std::optional<std::string>& destdir = std::nullopt)
{
    ChildProcess::Options options;
    options.env["DESTDIR"] = destdir;
    return RunCommand({PAVRIX_CMAKE_COMMAND, "--install", PAVRIX_BUILD_DIR, "--prefix", prefix}, options);
}

// Every file under `root` (symbolic links included), relative to it, sorted.
inline std::vector<std::string> FilesUnder(const std::string& root)
{
    namespace fs = std::filesystem;
    std::vector<std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(root))
        if (!entry.is_directory() || entry.is_symlink())
            files.push_back(fs::relative(entry.path(), root).string());
    std::sort(files.begin(), files.end());
    return files;
}

} // namespace testsupport

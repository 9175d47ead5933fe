#pragma once

// Small helpers shared by the store tests (the local store's, the mirror's, the
// device store's) and the method tests over them.

#include "datasource/DataSource.h"
#include "platform/NamedException.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>

namespace storetest {

// The name of the named exception `action` raises, "" when it raises none.
inline std::string RaisedName(const std::function<void()>& action)
{
    try {
        action();
    } catch (const platform::NamedException& e) {
        return e.name();
    }
    return "";
}

// The entry names of a folder, sorted; none for a folder that cannot be listed.
inline std::vector<std::string> EntryNames(const std::string& path)
{
    std::vector<std::string> names;
    std::error_code failure;
    for (const auto& entry : std::filesystem::directory_iterator(path, failure))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// Sets both times of `path` to `seconds` after the epoch.
inline void SetTime(const std::string& path, time_t seconds)
{
    timespec times[2] = {{seconds, 0}, {seconds, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

} // namespace storetest

#pragma once

// Small helpers shared by the local store tests.

#include "datasource/DataSource.h"
#include "platform/NamedException.h"

#include <algorithm>
#include <dirent.h>
#include <fcntl.h>
#include <functional>
#include <string>
#include <sys/stat.h>
#include <vector>

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

inline DataSource::DataPtr Bytes(const std::string& text)
{
    return std::make_shared<DataSource::Data>(text.begin(), text.end());
}

inline std::string Text(const DataSource::DataPtr& data)
{
    return data ? std::string(data->begin(), data->end()) : std::string("<none>");
}

// Sets a path's access and modification time (seconds since 1970, GMT).
inline bool SetModificationTime(const std::string& path, time_t seconds)
{
    timespec times[2] = {{seconds, 0}, {seconds, 0}};
    return utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0;
}

// The entry names of a folder, sorted.
inline std::vector<std::string> EntryNames(const std::string& path)
{
    std::vector<std::string> names;
    if (DIR* dir = opendir(path.c_str())) {
        while (const dirent* entry = readdir(dir)) {
            std::string name = entry->d_name;
            if (name != "." && name != "..")
                names.push_back(name);
        }
        closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

inline const DataSource::ChildRecord* FindRecord(const DataSource::ChildList& list, const std::string& name)
{
    for (const auto& record : list)
        if (record.at("name") == name)
            return &record;
    return nullptr;
}

} // namespace storetest

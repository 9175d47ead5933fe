#pragma once

// Small helpers shared by the store tests (the local store's and the mirror's).

#include "datasource/DataSource.h"
#include "platform/NamedException.h"

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>
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

} // namespace storetest

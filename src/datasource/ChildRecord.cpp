#include "datasource/ChildRecord.h"

#include "platform/CalendarDate.h"

namespace {

constexpr const char* kCollection = "<D:collection/>";

} // namespace

std::optional<std::string> PropertyOfRecord(const ChildRecord& record, std::string_view name)
{
    using F = ChildRecord;
    if (name == "name")
        return record.name;
    if (name == "getlastmodified" && record.has(F::Modified))
        return platform::FormatHTTPDate(record.modified);
    if (name == "creationdate" && record.has(F::Created))
        return platform::FormatHTTPDate(record.created);
    if (name == "accesstime" && record.has(F::Accessed))
        return platform::FormatHTTPDate(record.accessed);
    if (name == "getcontentlength" && record.has(F::Size))
        return std::to_string(record.size);
    if (name == "resourcetype" && record.has(F::Kind))
        return std::string(record.collection ? kCollection : "");
    if (name == "attributes" && record.has(F::Attributes))
        return std::to_string(record.attributes);
    return std::nullopt;
}

std::optional<std::string> PropertyOfSpace(const StoreSpace& space, std::string_view name)
{
    if (name == "quota")
        return std::to_string(space.total / 512);
    if (name == "quotaused")
        return std::to_string((space.total - space.free) / 512);
    return std::nullopt;
}

#include "datasource/ChildRecord.h"

#include "platform/CalendarDate.h"

#include <charconv>

namespace {

constexpr const char* kCollection = "<D:collection/>";

} // namespace

bool AppendPropertyOfRecord(std::string& out, const ChildRecord& record, std::string_view name,
                            platform::HTTPDateMemo& dates)
{
    using F = ChildRecord;
    auto number = [&out](uint64_t value) {
        char digits[24];
        out.append(digits, std::to_chars(digits, digits + sizeof digits, value).ptr);
    };
    if (name == "name")
        out += record.name;
    else if (name == "getlastmodified" && record.has(F::Modified))
        dates.append(out, record.modified);
    else if (name == "creationdate" && record.has(F::Created))
        dates.append(out, record.created);
    else if (name == "accesstime" && record.has(F::Accessed))
        dates.append(out, record.accessed);
    else if (name == "getcontentlength" && record.has(F::Size))
        number(record.size);
    else if (name == "resourcetype" && record.has(F::Kind))
        out += record.collection ? kCollection : "";
    else if (name == "attributes" && record.has(F::Attributes))
        number(record.attributes);
    else
        return false;
    return true;
}

std::optional<std::string> PropertyOfRecord(const ChildRecord& record, std::string_view name)
{
    std::string value;
    platform::HTTPDateMemo dates;
    if (!AppendPropertyOfRecord(value, record, name, dates))
        return std::nullopt;
    return value;
}

std::optional<std::string> PropertyOfSpace(const StoreSpace& space, std::string_view name)
{
    if (name == "quota")
        return std::to_string(space.total / 512);
    if (name == "quotaused")
        return std::to_string((space.total - space.free) / 512);
    return std::nullopt;
}

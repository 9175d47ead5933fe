#include "datasource/ChildRecord.h"

#include "platform/CalendarDate.h"

#include <charconv>
#include <utility>

namespace {

constexpr const char* kCollection = "<D:collection/>";

} // namespace

RecordProperty RecordPropertyOf(std::string_view name)
{
    using P = RecordProperty;
    static constexpr std::pair<std::string_view, RecordProperty> kNames[] = {
        {"name", P::Name},       {"getlastmodified", P::LastModified}, {"creationdate", P::Created},
        {"accesstime", P::Accessed}, {"getcontentlength", P::Size},    {"resourcetype", P::Kind},
        {"attributes", P::Attributes}};
    for (const auto& [known, property] : kNames)
        if (name == known)
            return property;
    return P::None;
}

bool AppendRecordProperty(std::string& out, const ChildRecord& record, RecordProperty property,
                          platform::HTTPDateMemo& dates)
{
    using F = ChildRecord;
    using P = RecordProperty;
    auto number = [&out](uint64_t value) {
        char digits[24];
        out.append(digits, std::to_chars(digits, digits + sizeof digits, value).ptr);
    };
    if (property == P::Name)
        out += record.name;
    else if (property == P::LastModified && record.has(F::Modified))
        dates.append(out, record.modified);
    else if (property == P::Created && record.has(F::Created))
        dates.append(out, record.created);
    else if (property == P::Accessed && record.has(F::Accessed))
        dates.append(out, record.accessed);
    else if (property == P::Size && record.has(F::Size))
        number(record.size);
    else if (property == P::Kind && record.has(F::Kind))
        out += record.collection ? kCollection : "";
    else if (property == P::Attributes && record.has(F::Attributes))
        number(record.attributes);
    else
        return false;
    return true;
}

bool AppendPropertyOfRecord(std::string& out, const ChildRecord& record, std::string_view name,
                            platform::HTTPDateMemo& dates)
{
    return AppendRecordProperty(out, record, RecordPropertyOf(name), dates);
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

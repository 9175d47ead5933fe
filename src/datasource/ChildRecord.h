#pragma once

#include "platform/CalendarDate.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// What a store knows of one resource: a member of a folder's listing, or the
// answer to stat. A field holds a value only when its bit is in `known`; each
// property is written from its field (PropertyOfRecord), dates when the answer is
// written, never before.
struct ChildRecord {
    using Date = std::chrono::system_clock::time_point;
    enum Field : uint8_t {
        Created = 1,
        Modified = 2,
        Accessed = 4,
        Attributes = 8,
        Size = 16,
        Kind = 32, // whether `collection` is known
    };

    std::string name; // the member's URI; empty in stat's answer
    Date created{}, modified{}, accessed{};
    uint64_t size = 0;
    uint32_t attributes = 0;
    uint8_t known = 0;
    bool collection = false;

    bool has(Field field) const { return (known & field) != 0; }
    void setCreated(Date date) { created = date, known |= Created; }
    void setModified(Date date) { modified = date, known |= Modified; }
    void setAccessed(Date date) { accessed = date, known |= Accessed; }
    void setAttributes(uint32_t value) { attributes = value, known |= Attributes; }
    void setSize(uint64_t value) { size = value, known |= Size; }
    void setCollection(bool value) { collection = value, known |= Kind; }
};

// The room of a store, in bytes.
struct StoreSpace {
    uint64_t total = 0;
    uint64_t free = 0;
};

// The value of property `name` from the field of the record that holds it
// ("name", "creationdate", "getlastmodified", "accesstime", "attributes",
// "getcontentlength", "resourcetype"); none when the record
// lacks that field or the name is none of these.
std::optional<std::string> PropertyOfRecord(const ChildRecord& record, std::string_view name);
// The same value appended to `out`, dates through `dates`; false (and nothing
// appended) when PropertyOfRecord would answer none.
bool AppendPropertyOfRecord(std::string& out, const ChildRecord& record, std::string_view name,
                            platform::HTTPDateMemo& dates);
// The field a property name stands for, worked out once when many records are
// written with the same names.
enum class RecordProperty : uint8_t { None, Name, LastModified, Created, Accessed, Size, Kind, Attributes };
RecordProperty RecordPropertyOf(std::string_view name);
bool AppendRecordProperty(std::string& out, const ChildRecord& record, RecordProperty property,
                          platform::HTTPDateMemo& dates);
// "quota" and "quotaused" of a store's space, in 512-byte blocks; none for other names.
std::optional<std::string> PropertyOfSpace(const StoreSpace& space, std::string_view name);

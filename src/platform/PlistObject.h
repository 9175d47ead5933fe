#pragma once

#include <plist/plist.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace platform {

// An owned property-list value (libplist node). Copying copies the whole tree,
// so a value handed to another owner is never shared by accident.
class PlistObject {
public:
    PlistObject() = default;
    explicit PlistObject(plist_t adopted) : node_(adopted) {}
    PlistObject(const PlistObject& other);
    PlistObject& operator=(const PlistObject& other);
    PlistObject(PlistObject&& other) noexcept;
    PlistObject& operator=(PlistObject&& other) noexcept;
    ~PlistObject();

    static PlistObject dictionary();
    static PlistObject integer(int64_t value);
    static PlistObject string(const std::string& value);
    static PlistObject data(const std::vector<uint8_t>& bytes);
    static PlistObject boolean(bool value);
    static PlistObject real(double value);

    // The dictionary stored in a property-list file (XML or binary); none when the
    // file is missing, unreadable, not a property list or not a dictionary.
    static std::optional<PlistObject> loadDictionary(const std::string& path);
    // Parses serialized property-list bytes (XML or binary); none when malformed.
    static std::optional<PlistObject> fromBytes(const std::vector<uint8_t>& bytes);

    // Writes the value as an XML property list through a temporary file in the same
    // folder and a rename, so a reader never sees half a file. False on any failure.
    bool writeAtomically(const std::string& path) const;
    // The value as binary property-list bytes.
    std::vector<uint8_t> toBinary() const;

    bool isNull() const { return node_ == nullptr; }
    plist_type type() const { return node_ ? plist_get_node_type(node_) : PLIST_NONE; }
    bool isDictionary() const { return type() == PLIST_DICT; }

    // Dictionary access. A missing key, or a value of another type, gives none.
    std::optional<PlistObject> get(const std::string& key) const;
    std::optional<int64_t> getInteger(const std::string& key) const;
    std::optional<std::string> getString(const std::string& key) const;
    std::optional<std::vector<uint8_t>> getData(const std::string& key) const;
    void set(const std::string& key, const PlistObject& value);
    void remove(const std::string& key);
    std::vector<std::string> keys() const;

    // Scalar access on this node; none for another type, and for a text holding a
    // zero byte (which a property list cannot carry).
    std::optional<int64_t> asInteger() const;
    std::optional<std::string> asString() const;
    std::optional<std::vector<uint8_t>> asData() const;
    std::optional<bool> asBoolean() const;

    bool operator==(const PlistObject& other) const;

    plist_t node() const { return node_; }

private:
    plist_t node_ = nullptr;
};

} // namespace platform

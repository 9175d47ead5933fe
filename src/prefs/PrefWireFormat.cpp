#include "prefs/PrefWireFormat.h"

#include "platform/TextEncoding.h"

#include <cstdlib>
#include <cstring>
#include <set>
#include <string>

using platform::PlistObject;

PrefWireValue EncodePrefValue(const std::optional<PlistObject>& value)
{
    if (!value || value->isNull())
        return PrefWireValue{false, {}};
    PlistObject holder(plist_new_array());
    plist_array_append_item(holder.node(), plist_copy(value->node()));
    return PrefWireValue{true, holder.toBinary()};
}

namespace {

// libplist has no read of a key that survives a zero byte in it (its getters stop
// the process on one), but its XML writer copies every text whole: a zero byte in
// the XML form is a zero byte in some text or key.
bool TextsHoldNoZeroByte(plist_t node)
{
    char* xml = nullptr;
    uint32_t length = 0;
    plist_to_xml(node, &xml, &length);
    bool clean = xml && !std::memchr(xml, 0, length);
    plist_to_xml_free(xml);
    return clean;
}

// Whether the value is one a sender could have meant: every text (key or value)
// UTF-8, and no key twice in a dictionary. A binary list can carry any bytes as a
// "text" and any number of equal keys; the client would hand such a value on as a
// name or a date, and it would not encode back to itself. Texts hold no zero byte
// (TextsHoldNoZeroByte) by the time this reads them.
bool IsWellFormed(const PlistObject& value)
{
    switch (value.type()) {
    case PLIST_STRING: {
        auto text = value.asString();
        return text && platform::IsValidUTF8(*text);
    }
    case PLIST_ARRAY:
        for (uint32_t i = 0; i < plist_array_get_size(value.node()); ++i)
            if (!IsWellFormed(PlistObject(plist_copy(plist_array_get_item(value.node(), i)))))
                return false;
        return true;
    case PLIST_DICT: {
        const auto keys = value.keys();
        if (std::set<std::string>(keys.begin(), keys.end()).size() != keys.size())
            return false;
        for (const auto& key : keys)
            if (!platform::IsValidUTF8(key) || !IsWellFormed(*value.get(key)))
                return false;
        return true;
    }
    default:
        return true;
    }
}

} // namespace

std::optional<PlistObject> DecodePrefValue(const PrefWireValue& wire)
{
    bool present = wire.get<0>();
    const std::vector<uint8_t>& bytes = wire.get<1>();
    if (!present || bytes.empty())
        return std::nullopt;
    const char* raw = reinterpret_cast<const char*>(bytes.data());
    auto length = static_cast<uint32_t>(bytes.size());
    if (!plist_is_binary(raw, length))
        return std::nullopt;
    plist_t node = nullptr;
    plist_from_bin(raw, length, &node);
    if (!node)
        return std::nullopt;
    PlistObject holder(node);
    if (holder.type() != PLIST_ARRAY || plist_array_get_size(node) != 1 || !TextsHoldNoZeroByte(node) ||
        !IsWellFormed(holder))
        return std::nullopt;
    return PlistObject(plist_copy(plist_array_get_item(node, 0)));
}

#include "prefs/PrefWireFormat.h"

#include <cstdlib>

using platform::PlistObject;

PrefWireValue EncodePrefValue(const std::optional<PlistObject>& value)
{
    if (!value || value->isNull())
        return PrefWireValue{false, {}};
    PlistObject holder(plist_new_array());
    plist_array_append_item(holder.node(), plist_copy(value->node()));
    return PrefWireValue{true, holder.toBinary()};
}

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
    if (holder.type() != PLIST_ARRAY || plist_array_get_size(node) != 1)
        return std::nullopt;
    return PlistObject(plist_copy(plist_array_get_item(node, 0)));
}

#pragma once

// How a property-list value that may be nil crosses the bus, for the preference
// client, the preference server and the monitor alike.

#include "platform/PlistObject.h"

#include <sdbus-c++/Types.h>

#include <cstdint>
#include <optional>
#include <vector>

// D-Bus type "(bay)": (present, bytes). Nil is (false, []). A value is
// (true, a binary property list holding a one-element array whose element is
// the value); the array is there because binary property lists cannot carry a
// bare scalar at the top. The receiver builds its own copy from the bytes, so a
// value always travels by copy, never as a reference to the sender's object.
using PrefWireValue = sdbus::Struct<bool, std::vector<uint8_t>>;

// A default-constructed (null) PlistObject is sent as nil.
PrefWireValue EncodePrefValue(const std::optional<platform::PlistObject>& value);
// Nil for (false, ...), for bytes that do not hold a one-element array, and for a
// value with a text (or key) that is not UTF-8 or holds a zero byte, or with a
// dictionary that holds a key twice.
std::optional<platform::PlistObject> DecodePrefValue(const PrefWireValue& wire);

#pragma once

// One UTF-16 reader: surrogate pairs joined, and a policy for a surrogate without
// its partner, which device text refuses and a record typed in on the device
// tolerates.

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace platform {

enum class UTF16Invalid : uint8_t {
    Refuse,  // the text as a whole is refused
    Replace, // the unpaired surrogate reads as U+FFFD
};

// The host-order units as UTF-8, every unit included (a zero unit too).
std::optional<std::string> UTF16ToUTF8(std::span<const uint16_t> units, UTF16Invalid invalid);

} // namespace platform

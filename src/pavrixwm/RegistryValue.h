#pragma once

// A device registry value as the session passes it: a number for an integer value
// (booleans are the numbers 0 and 1; the device keeps 32 bits of it), text (UTF-8)
// for a string value, bytes for a raw-bytes value.

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

using RegistryValue = std::variant<int64_t, std::string, std::vector<uint8_t>>;

#pragma once

// How the preference client's typed reads take a value the server sent: any
// property-list value may arrive under any key, so each reading says which kinds it
// can take and what it makes of them.

#include "platform/CalendarDate.h"
#include "platform/PlistObject.h"

#include <cstdint>
#include <optional>

// Dates are stored as text in this form: "20240301 130509 +0100".
inline constexpr const char* kCalendarFormat = "%Y%m%d %H%M%S %z";

// The value's int: an integer's low 32 bits, a boolean as 1 or 0, a text's leading
// decimal number (saturated at the 32-bit ends; 0 without digits), a real clamped
// to the 32-bit range (0 for not-a-number). None for other kinds.
std::optional<int32_t> PrefIntValue(const platform::PlistObject& value);
// The value's flag: a boolean, a non-zero number, or a text that starts (after
// blanks, a sign and leading zeros) with Y, y, T, t or a digit 1 to 9. None for
// other kinds.
std::optional<bool> PrefBoolValue(const platform::PlistObject& value);
// A text in kCalendarFormat read as a date; none for other kinds and other texts.
std::optional<platform::CalendarDate> PrefDateValue(const platform::PlistObject& value);

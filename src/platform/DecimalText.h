#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace platform {

// A decimal number at the start of a text, read the way C's strtol family reads
// one: leading blanks, an optional sign, then digits. The magnitude saturates at
// the top of the unsigned 64-bit range instead of wrapping, so that no caller can
// mistake a huge number for a small one.
struct DecimalPrefix {
    bool negative = false;
    bool hasDigits = false;
    bool overflow = false; // more than 64 bits: `magnitude` holds UINT64_MAX
    uint64_t magnitude = 0;
    size_t end = 0; // index of the first byte after the digits (after the blanks and sign when there are none)
};
DecimalPrefix ReadDecimalPrefix(std::string_view text);
// The number read, held to the ends of the signed 32-bit range; 0 without digits.
int32_t SaturatedInt32(const DecimalPrefix& number);
// The blanks a number may start with, as C's isspace in the C locale.
bool IsLeadingBlank(char c);

// Whether `text` is exactly a non-negative decimal number with optional blanks
// (spaces, tabs) around it, as an HTTP length must be.
bool IsPlainDecimal(std::string_view text);

// The value of one hexadecimal digit (either case), or -1 for any other byte.
int HexDigitValue(char c);

} // namespace platform

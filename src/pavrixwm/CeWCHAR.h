#pragma once

// Runs of 16-bit device characters, ended by a zero unit. The device stores them
// little-endian; the host may not.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// Number of units before the first zero unit.
size_t CeWCHARLen(const uint16_t* text);
// Converts the run, terminator excluded, in place between host order and the
// device's little-endian order (the conversion is its own inverse).
void CeWCHARSwap(uint16_t* text);
// The same conversion, named for the direction a caller usually means.
void CeWCHARHostToLittleEndian(uint16_t* text);

// UTF-8 text as device text: UTF-16LE units followed by one zero unit
// (2 * units + 2 bytes). Invalid UTF-8 bytes become U+FFFD.
std::vector<uint8_t> Utf8ToDeviceText(const std::string& text);
// The host-order units of UTF-16LE bytes up to the first zero unit (or the end;
// an odd last byte is no unit).
std::vector<uint16_t> DeviceTextUnits(const uint8_t* bytes, size_t length);
// UTF-16LE bytes up to the first zero unit (or the end) as UTF-8; none when the
// units are not valid UTF-16 (an unpaired surrogate).
std::optional<std::string> DeviceTextToUtf8(const uint8_t* bytes, size_t length);

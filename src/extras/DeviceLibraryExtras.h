#pragma once

// Calls into the product's own library "pavrix" on the device, made through the
// session's remote invocation. Each call makes at most one invocation and answers a
// result code: 0 on success, else the invocation's own code passed on unchanged, or
// kExtrasOutOfMemory when the input block cannot be had (nothing is invoked then).
// Every reply block the session hands out goes back to it, on every path, and the
// out parameters are written only on the success paths described below.
// Integers in the blocks are little-endian, 32 bits unless said otherwise.

#include "pavrixwm/Rapi.h"
#include "platform/CalendarDate.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

inline constexpr const char* kDeviceLibrary = "pavrix";
// The input block could not be allocated.
inline constexpr int32_t kExtrasOutOfMemory = -108;

// The library's version record as the device sends it: three numbers the library
// gives meaning to, then zero-terminated 8-bit text.
struct PAVRIX_DLL_VERSION {
    uint32_t values[3];
    char text[40];
};
static_assert(sizeof(PAVRIX_DLL_VERSION) == 52, "the record is sent as 52 bytes");

// Whether the device draws rich ink: the device's 4-byte answer when it gives one;
// otherwise 1 unless the device is a smartphone. hasRichInk is always written; the
// code is the invocation's, even when the value was guessed.
int32_t HasRichInk(Rapi& rapi, int32_t& hasRichInk);
// Adds the files the text names to the device's media library. 0 without invoking
// for an empty text or a session without a device.
int32_t wmpLibraryAddFiles(Rapi& rapi, const std::string& files);
// Empties the device's media library. 0 without invoking on a session without a device.
int32_t wmpLibraryClean(Rapi& rapi);
// Converts a device file to the given format; on success results holds a copy of
// the reply (empty when the device sent none). Untouched on failure.
int32_t ConvertFromFile(Rapi& rapi, const std::string& path, uint32_t toFormat,
                        std::optional<std::vector<uint8_t>>& results);
// Has the device write `data`, given in inputFormat, to the device file `path`.
int32_t ConvertToFile(Rapi& rapi, const std::vector<uint8_t>& data, uint32_t inputFormat, const std::string& path);
// The device clock, read as GMT (to the second); untouched unless the device gave a
// whole 16-byte SYSTEMTIME. E_FAIL (0x80004005) when that names no date a
// CalendarDate holds (a month 13, an hour 24, a 30 February, a year before 1601).
int32_t GetSystemTime(Rapi& rapi, platform::CalendarDate& date);
// Sets the device clock from the date's calendar fields in the date's own zone; no
// conversion to GMT is made, so pass a GMT date to have GetSystemTime agree (every
// field of a CalendarDate fits its 16 bits).
int32_t SetSystemTime(Rapi& rapi, const platform::CalendarDate& date);
// Fills the version record from the device's 52-byte reply. E_FAIL (0x80004005) when
// the reply has another size; the record is written only on success.
int32_t GetPavrixDLLVersion(Rapi& rapi, PAVRIX_DLL_VERSION& version);
// Resets the library's logging state on the device.
int32_t resetLogging(Rapi& rapi, int32_t state);
// The exit code of a device process; untouched unless the device gave 4 bytes.
// Packet-read logging is on for this one call and off afterwards, whatever happened.
int32_t GetExitCodeProcess(Rapi& rapi, uint32_t process, uint32_t& exitCode);

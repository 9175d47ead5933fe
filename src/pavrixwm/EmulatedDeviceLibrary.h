#pragma once

// The device-side library "pavrix" of an emulated device: a small but real version
// of each function the desktop may invoke, with the input and reply blocks laid out
// as the desktop sends and reads them (little-endian integers, UTF-16LE device
// text). What it is asked to do is kept in the device directory:
//   library.plist  "Requests": every media-library, conversion and logging request,
//                  in order; "MediaLibrary": the files added since the last clean;
//                  "LoggingState": the last logging state set;
//   clock.plist    "OffsetMilliseconds": the device clock's distance from the host's
//                  once it has been set (the clock follows the host until then).

#include "pavrixwm/WinCE.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

class EmulatedDeviceLibrary {
public:
    // What the library reaches on its device.
    struct Device {
        std::function<std::string()> deviceClass;
        // The exit code of a process the device knows; none for an unknown one.
        std::function<std::optional<uint32_t>(uint32_t process)> exitCode;
        // A whole device file, or none with a Win32 code.
        std::function<std::optional<std::vector<uint8_t>>(const std::string& path, DWORD& error)> readFile;
        // Creates or replaces a device file; 0 or a Win32 code.
        std::function<DWORD(const std::string& path, const std::vector<uint8_t>& data)> writeFile;
    };

    EmulatedDeviceLibrary(std::string directory, Device device);

    // Runs the named function (names are exact, "Libary" included); 0 with its reply
    // block (none for functions that give none), ERROR_PROC_NOT_FOUND for an unknown
    // name, ERROR_INVALID_PARAMETER for a malformed input block, or the function's code.
    int32_t invoke(const std::string& function, const std::vector<uint8_t>& input,
                   std::optional<std::vector<uint8_t>>& reply);

private:
    std::string directory_;
    Device device_;
};

#include "pavrixwm/EmulatedDeviceLibrary.h"

#include "pavrixwm/CeWCHAR.h"
#include "platform/CalendarDate.h"
#include "platform/LittleEndian.h"
#include "platform/PlistObject.h"

#include <chrono>
#include <cstring>
#include <functional>
#include <ctime>

using platform::PlistObject;

namespace {

// The host clock in milliseconds since 1970 (GMT). The device clock is counted the
// same way, in 64 bits, so that any time it can be set to, 1601 included, is exact.
int64_t HostMilliseconds()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// Appends a request to library.plist and applies `change` to the library's state.
void RecordRequest(const std::string& libraryPlist, PlistObject request,
                   const std::function<void(plist_t library)>& change = {})
{
    auto library = PlistObject::loadDictionary(libraryPlist).value_or(PlistObject::dictionary());
    plist_t requests = plist_dict_get_item(library.node(), "Requests");
    if (!requests || plist_get_node_type(requests) != PLIST_ARRAY) {
        plist_dict_set_item(library.node(), "Requests", plist_new_array());
        requests = plist_dict_get_item(library.node(), "Requests");
    }
    request.set("HostTimeMilliseconds", PlistObject::integer(HostMilliseconds()));
    plist_array_append_item(requests, plist_copy(request.node()));
    if (change)
        change(library.node());
    library.writeAtomically(libraryPlist);
}

int64_t ClockOffsetMilliseconds(const std::string& clockPlist)
{
    auto clock = PlistObject::loadDictionary(clockPlist);
    if (!clock)
        return 0;
    return clock->getInteger("OffsetMilliseconds").value_or(0);
}


// Device text at `offset` of a block: UTF-16LE units ending in a zero unit that
// lies inside the block.
std::optional<std::string> DeviceTextAt(const std::vector<uint8_t>& block, size_t offset, size_t length)
{
    if (offset + length > block.size() || length < 2 || length % 2 != 0)
        return std::nullopt;
    if (block[offset + length - 2] != 0 || block[offset + length - 1] != 0)
        return std::nullopt;
    return DeviceTextToUtf8(block.data() + offset, length);
}

std::vector<uint8_t> SystemTimeBlock(int64_t ms)
{
    time_t seconds = static_cast<time_t>(ms >= 0 ? ms / 1000 : (ms - 999) / 1000);
    int milliseconds = static_cast<int>(ms - static_cast<int64_t>(seconds) * 1000);
    struct tm fields {};
    gmtime_r(&seconds, &fields);
    std::vector<uint8_t> block(16, 0);
    platform::WriteLE16(block.data(), static_cast<uint32_t>(fields.tm_year + 1900));
    platform::WriteLE16(block.data() + 2, static_cast<uint32_t>(fields.tm_mon + 1));
    platform::WriteLE16(block.data() + 4, static_cast<uint32_t>(fields.tm_wday));
    platform::WriteLE16(block.data() + 6, static_cast<uint32_t>(fields.tm_mday));
    platform::WriteLE16(block.data() + 8, static_cast<uint32_t>(fields.tm_hour));
    platform::WriteLE16(block.data() + 10, static_cast<uint32_t>(fields.tm_min));
    platform::WriteLE16(block.data() + 12, static_cast<uint32_t>(fields.tm_sec));
    platform::WriteLE16(block.data() + 14, static_cast<uint32_t>(milliseconds));
    return block;
}

// The instant a SYSTEMTIME block names (read as UTC), in milliseconds since 1970;
// none when a field is out of range.
std::optional<int64_t> SystemTimeFromBlock(const std::vector<uint8_t>& block)
{
    const uint8_t* at = block.data();
    int year = platform::ReadLE16(at), month = platform::ReadLE16(at + 2), day = platform::ReadLE16(at + 6);
    int hour = platform::ReadLE16(at + 8), minute = platform::ReadLE16(at + 10), second = platform::ReadLE16(at + 12),
        ms = platform::ReadLE16(at + 14);
    // The calendar check (month lengths, leap years, no leap second, the years a
    // date can have) is the platform's; the device adds whole milliseconds.
    if (ms > 999)
        return std::nullopt;
    auto date = platform::CalendarDate::fromFields(year, month, day, hour, minute, second, 0);
    if (!date)
        return std::nullopt;
    return date->seconds() * 1000 + ms;
}

} // namespace

EmulatedDeviceLibrary::EmulatedDeviceLibrary(std::string directory, Device device)
    : directory_(std::move(directory)), device_(std::move(device))
{
}

int32_t EmulatedDeviceLibrary::invoke(const std::string& function, const std::vector<uint8_t>& input,
                                      std::optional<std::vector<uint8_t>>& reply)
{
    constexpr auto kBadInput = static_cast<int32_t>(ERROR_INVALID_PARAMETER);
    const std::string libraryPlist = directory_ + "/library.plist";
    const std::string clockPlist = directory_ + "/clock.plist";
    auto recordLibraryRequest = [&](PlistObject entry, const std::function<void(plist_t)>& change = {}) {
        RecordRequest(libraryPlist, std::move(entry), change);
    };
    auto request = [&](const char* name) {
        PlistObject entry = PlistObject::dictionary();
        entry.set("Function", PlistObject::string(name));
        return entry;
    };

    if (function == "PXCeHasRichInk") {
        std::vector<uint8_t> block(4, 0);
        platform::WriteLE32(block.data(), device_.deviceClass() == "SmartPhone" ? 0 : 1);
        reply = block;
        return 0;
    }
    if (function == "PXCeWMPAddToLibary") {
        auto text = DeviceTextAt(input, 0, input.size());
        if (!text)
            return kBadInput;
        PlistObject entry = request("PXCeWMPAddToLibary");
        entry.set("Text", PlistObject::string(*text));
        recordLibraryRequest(entry, [&](plist_t library) {
            plist_t media = plist_dict_get_item(library, "MediaLibrary");
            if (!media || plist_get_node_type(media) != PLIST_ARRAY) {
                plist_dict_set_item(library, "MediaLibrary", plist_new_array());
                media = plist_dict_get_item(library, "MediaLibrary");
            }
            plist_array_append_item(media, plist_new_string(text->c_str()));
        });
        return 0;
    }
    if (function == "PXCeWMPCleanLibary") {
        recordLibraryRequest(request("PXCeWMPCleanLibary"),
                             [](plist_t library) { plist_dict_set_item(library, "MediaLibrary", plist_new_array()); });
        return 0;
    }
    if (function == "PXCeConvertFromFile") {
        if (input.size() < 6)
            return kBadInput;
        uint32_t format = platform::ReadLE32(input.data());
        auto path = DeviceTextAt(input, 4, input.size() - 4);
        if (!path)
            return kBadInput;
        // The emulated converter hands the file back as it is, in whatever format was asked.
        DWORD error = 0;
        auto contents = device_.readFile(*path, error);
        PlistObject entry = request("PXCeConvertFromFile");
        entry.set("Format", PlistObject::integer(format));
        entry.set("Path", PlistObject::string(*path));
        entry.set("Result", PlistObject::integer(error));
        recordLibraryRequest(entry);
        if (!contents)
            return static_cast<int32_t>(error);
        reply = std::move(*contents);
        return 0;
    }
    if (function == "PXCeConvertToFile") {
        if (input.size() < 8)
            return kBadInput;
        uint32_t format = platform::ReadLE32(input.data());
        uint32_t pathLength = platform::ReadLE32(input.data() + 4);
        if (pathLength > input.size() - 8)
            return kBadInput;
        auto path = DeviceTextAt(input, 8, pathLength);
        if (!path)
            return kBadInput;
        std::vector<uint8_t> data(input.begin() + 8 + pathLength, input.end());
        DWORD error = device_.writeFile(*path, data);
        PlistObject entry = request("PXCeConvertToFile");
        entry.set("Format", PlistObject::integer(format));
        entry.set("Path", PlistObject::string(*path));
        entry.set("Length", PlistObject::integer(static_cast<int64_t>(data.size())));
        entry.set("Result", PlistObject::integer(error));
        recordLibraryRequest(entry);
        return static_cast<int32_t>(error);
    }
    if (function == "PXCeGetSystemTime") {
        reply = SystemTimeBlock(HostMilliseconds() + ClockOffsetMilliseconds(clockPlist));
        return 0;
    }
    if (function == "PXCeSetSystemTime") {
        if (input.size() != 16)
            return kBadInput;
        auto when = SystemTimeFromBlock(input);
        if (!when)
            return kBadInput;
        // The device clock runs on from the time it was set: keep its distance from
        // the host clock, across sessions.
        PlistObject clock = PlistObject::dictionary();
        clock.set("OffsetMilliseconds", PlistObject::integer(*when - HostMilliseconds()));
        if (!clock.writeAtomically(clockPlist))
            return static_cast<int32_t>(ERROR_ACCESS_DENIED);
        return 0;
    }
    if (function == "GetDLLVersion") {
        std::vector<uint8_t> block(52, 0);
        platform::WriteLE32(block.data(), 1);      // major
        platform::WriteLE32(block.data() + 4, 0);  // minor
        platform::WriteLE32(block.data() + 8, 17); // build
        const char kText[] = "pavrix device library 1.0";
        std::memcpy(block.data() + 12, kText, sizeof kText);
        reply = block;
        return 0;
    }
    if (function == "PXResetLoggingState") {
        if (input.size() != 4)
            return kBadInput;
        PlistObject entry = request("PXResetLoggingState");
        entry.set("State", PlistObject::integer(static_cast<int32_t>(platform::ReadLE32(input.data()))));
        recordLibraryRequest(entry, [&](plist_t library) {
            plist_dict_set_item(library, "LoggingState", plist_new_uint(platform::ReadLE32(input.data())));
        });
        return 0;
    }
    if (function == "PXCeGetExitCodeProcess") {
        if (input.size() != 4)
            return kBadInput;
        auto code = device_.exitCode(platform::ReadLE32(input.data()));
        if (!code)
            return static_cast<int32_t>(ERROR_INVALID_HANDLE);
        std::vector<uint8_t> block(4, 0);
        platform::WriteLE32(block.data(), *code);
        reply = block;
        return 0;
    }
    return static_cast<int32_t>(ERROR_PROC_NOT_FOUND);
}

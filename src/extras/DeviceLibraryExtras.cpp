#include "extras/DeviceLibraryExtras.h"

#include "extras/RegistryExtras.h"
#include "pavrixwm/CeWCHAR.h"
#include "platform/LittleEndian.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>
#include <span>

namespace {

constexpr size_t kSystemTimeSize = 16;
constexpr DWORD kVersionReplySize = sizeof(PAVRIX_DLL_VERSION);

using platform::ReadLE16;
using platform::ReadLE32;
using platform::WriteLE16;
using platform::WriteLE32;

// The reply block of one invocation, handed back to the session when it goes out
// of scope: whatever path a call takes, the session gets its block back.
class Reply {
public:
    explicit Reply(Rapi& rapi) : rapi_(rapi) {}
    ~Reply()
    {
        if (block)
            rapi_.CeRapiFreeBuffer(block);
    }
    Reply(const Reply&) = delete;
    Reply& operator=(const Reply&) = delete;

    bool holds(DWORD size) const { return block && length == size; }

    DWORD length = 0;
    uint8_t* block = nullptr;

private:
    Rapi& rapi_;
};

int32_t Invoke(Rapi& rapi, const char* function, std::span<const uint8_t> input, Reply* reply = nullptr)
{
    return rapi.CeRapiInvoke(kDeviceLibrary, function, static_cast<DWORD>(input.size()),
                             input.empty() ? nullptr : input.data(), reply ? &reply->length : nullptr,
                             reply ? &reply->block : nullptr);
}

// Device text: the string's UTF-16 units, least significant byte first, and one
// zero unit. None when it cannot be had or would not fit a 32-bit length.
std::optional<std::vector<uint8_t>> DeviceText(const std::string& text)
{
    try {
        auto units = Utf8ToDeviceText(text);
        if (units.size() > std::numeric_limits<DWORD>::max())
            return std::nullopt;
        return units;
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
}

struct LE32Block {
    explicit LE32Block(uint32_t value) { WriteLE32(bytes, value); }
    uint8_t bytes[4];
};

} // namespace

int32_t HasRichInk(Rapi& rapi, int32_t& hasRichInk)
{
    Reply reply(rapi);
    int32_t result = Invoke(rapi, "PXCeHasRichInk", {}, &reply);
    if (result == 0 && reply.holds(4))
        hasRichInk = static_cast<int32_t>(ReadLE32(reply.block));
    else
        // A device that cannot say is taken to draw ink, unless it is a smartphone.
        hasRichInk = isSmartphone(rapi) == 0 ? 1 : 0;
    return result;
}

int32_t wmpLibraryAddFiles(Rapi& rapi, const std::string& files)
{
    if (files.empty() || !rapi.deviceConnection())
        return 0;
    auto text = DeviceText(files);
    if (!text)
        return kExtrasOutOfMemory;
    return Invoke(rapi, "PXCeWMPAddToLibary", *text);
}

int32_t wmpLibraryClean(Rapi& rapi)
{
    if (!rapi.deviceConnection())
        return 0;
    return Invoke(rapi, "PXCeWMPCleanLibary", {});
}

int32_t ConvertFromFile(Rapi& rapi, const std::string& path, uint32_t toFormat,
                        std::optional<std::vector<uint8_t>>& results)
{
    std::vector<uint8_t> block;
    try {
        auto text = DeviceText(path);
        if (!text || text->size() > std::numeric_limits<DWORD>::max() - 4)
            return kExtrasOutOfMemory;
        block.resize(4 + text->size());
        WriteLE32(block.data(), toFormat);
        std::copy(text->begin(), text->end(), block.begin() + 4);
    } catch (const std::bad_alloc&) {
        return kExtrasOutOfMemory;
    }

    Reply reply(rapi);
    int32_t result = Invoke(rapi, "PXCeConvertFromFile", block, &reply);
    block = {};
    if (result == 0) {
        try {
            results = reply.block ? std::vector<uint8_t>(reply.block, reply.block + reply.length) : std::vector<uint8_t>();
        } catch (const std::bad_alloc&) {
            // The conversion ran; only its copy is lost. The caller still learns it worked.
        }
    }
    return result;
}

int32_t ConvertToFile(Rapi& rapi, const std::vector<uint8_t>& data, uint32_t inputFormat, const std::string& path)
{
    std::vector<uint8_t> block;
    try {
        auto text = DeviceText(path);
        if (!text)
            return kExtrasOutOfMemory;
        size_t pathLength = text->size();
        if (pathLength + data.size() > std::numeric_limits<DWORD>::max() - 8)
            return kExtrasOutOfMemory;
        block.resize(8 + pathLength + data.size());
        WriteLE32(block.data(), inputFormat);
        WriteLE32(block.data() + 4, static_cast<uint32_t>(pathLength));
        std::copy(text->begin(), text->end(), block.begin() + 8);
        std::copy(data.begin(), data.end(), block.begin() + 8 + static_cast<ptrdiff_t>(pathLength));
    } catch (const std::bad_alloc&) {
        return kExtrasOutOfMemory;
    }
    return Invoke(rapi, "PXCeConvertToFile", block);
}

int32_t GetSystemTime(Rapi& rapi, platform::CalendarDate& date)
{
    Reply reply(rapi);
    int32_t result = Invoke(rapi, "PXCeGetSystemTime", {}, &reply);
    if (result == 0 && reply.holds(kSystemTimeSize)) {
        const uint8_t* st = reply.block;
        // Day of week (offset 4) and milliseconds (offset 14) are not needed to name
        // the second, and a device may leave them unset.
        auto when = platform::CalendarDate::fromFields(ReadLE16(st), ReadLE16(st + 2), ReadLE16(st + 6), ReadLE16(st + 8),
                                                       ReadLE16(st + 10), ReadLE16(st + 12), 0);
        // A time that does not exist is a broken answer, not a clock reading: the
        // caller must not take the date it already holds for the device's.
        if (!when)
            return static_cast<int32_t>(E_FAIL);
        date = *when;
    }
    return result;
}

int32_t SetSystemTime(Rapi& rapi, const platform::CalendarDate& date)
{
    struct tm fields = date.fields();
    uint8_t block[kSystemTimeSize] = {};
    WriteLE16(block, static_cast<uint16_t>(fields.tm_year + 1900));
    WriteLE16(block + 2, static_cast<uint16_t>(fields.tm_mon + 1));
    WriteLE16(block + 4, static_cast<uint16_t>(fields.tm_wday));
    WriteLE16(block + 6, static_cast<uint16_t>(fields.tm_mday));
    WriteLE16(block + 8, static_cast<uint16_t>(fields.tm_hour));
    WriteLE16(block + 10, static_cast<uint16_t>(fields.tm_min));
    WriteLE16(block + 12, static_cast<uint16_t>(fields.tm_sec));
    // Milliseconds (offset 14) stay 0: the date is set to the second.
    return Invoke(rapi, "PXCeSetSystemTime", block);
}

int32_t GetPavrixDLLVersion(Rapi& rapi, PAVRIX_DLL_VERSION& version)
{
    Reply reply(rapi);
    int32_t result = Invoke(rapi, "GetDLLVersion", {}, &reply);
    if (result != 0)
        // A failure that still came with a whole record is the library's own answer;
        // anything else is a broken exchange.
        return reply.length == kVersionReplySize ? result : static_cast<int32_t>(E_FAIL);
    if (!reply.holds(kVersionReplySize))
        return static_cast<int32_t>(E_FAIL);

    for (int i = 0; i < 3; ++i)
        version.values[i] = ReadLE32(reply.block + 4 * i);
    // The text is meant to end in a zero byte; a device that fills all 40 bytes
    // still gets no further than the field.
    const auto* text = reinterpret_cast<const char*>(reply.block + 12);
    size_t length = strnlen(text, sizeof version.text);
    std::memcpy(version.text, text, std::min(length + 1, sizeof version.text));
    return 0;
}

int32_t resetLogging(Rapi& rapi, int32_t state)
{
    return Invoke(rapi, "PXResetLoggingState", LE32Block(static_cast<uint32_t>(state)).bytes);
}

int32_t GetExitCodeProcess(Rapi& rapi, uint32_t process, uint32_t& exitCode)
{
    // The exit code travels in a packet of its own; with logging on, a wrong code
    // can be told from a wrong packet.
    rapi.setReadPacketLogging(true);
    int32_t result;
    {
        Reply reply(rapi);
        result = Invoke(rapi, "PXCeGetExitCodeProcess", LE32Block(process).bytes, &reply);
        if (result == 0 && reply.holds(4))
            exitCode = ReadLE32(reply.block);
    }
    rapi.setReadPacketLogging(false);
    return result;
}

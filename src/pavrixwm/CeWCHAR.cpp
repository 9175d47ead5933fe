#include "pavrixwm/CeWCHAR.h"

#include "platform/LittleEndian.h"
#include "platform/UTF16.h"
#include "platform/UTF8.h"

#include <bit>

size_t CeWCHARLen(const uint16_t* text)
{
    size_t length = 0;
    while (text[length] != 0)
        ++length;
    return length;
}

void CeWCHARSwap(uint16_t* text)
{
    if constexpr (std::endian::native == std::endian::little)
        return;
    for (; *text != 0; ++text)
        *text = static_cast<uint16_t>((*text >> 8) | (*text << 8));
}

void CeWCHARHostToLittleEndian(uint16_t* text) { CeWCHARSwap(text); }

std::vector<uint8_t> Utf8ToDeviceText(const std::string& text)
{
    std::vector<uint8_t> out;
    out.reserve(text.size() * 2 + 2);
    for (size_t i = 0; i < text.size();) {
        uint32_t cp = *platform::NextUTF8(text, i, platform::kUTF8Replacing);
        if (cp >= 0x10000) {
            cp -= 0x10000;
            platform::AppendLE16(out, static_cast<uint16_t>(0xD800 | (cp >> 10)));
            platform::AppendLE16(out, static_cast<uint16_t>(0xDC00 | (cp & 0x3FF)));
        } else {
            platform::AppendLE16(out, static_cast<uint16_t>(cp));
        }
    }
    platform::AppendLE16(out, 0);
    return out;
}

std::vector<uint16_t> DeviceTextUnits(const uint8_t* bytes, size_t length)
{
    std::vector<uint16_t> units;
    units.reserve(length / 2);
    for (size_t i = 0; i + 1 < length; i += 2) {
        uint16_t unit = platform::ReadLE16(bytes + i);
        if (unit == 0)
            break;
        units.push_back(unit);
    }
    return units;
}

std::optional<std::string> DeviceTextToUtf8(const uint8_t* bytes, size_t length)
{
    return platform::UTF16ToUTF8(DeviceTextUnits(bytes, length), platform::UTF16Invalid::Refuse);
}

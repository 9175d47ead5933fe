#include "pavrixwm/CeWCHAR.h"

#include "platform/TextEncoding.h"

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

namespace {

void AppendUnit(std::vector<uint8_t>& out, uint32_t unit)
{
    out.push_back(static_cast<uint8_t>(unit & 0xFF));
    out.push_back(static_cast<uint8_t>(unit >> 8));
}

// The next code point of UTF-8 text from `i`; a malformed, overlong or surrogate
// sequence yields U+FFFD and consumes one byte.
uint32_t NextCodePoint(const std::string& text, size_t& i)
{
    auto byte = [&](size_t k) { return static_cast<uint8_t>(text[k]); };
    uint8_t lead = byte(i);
    if (lead < 0x80) {
        ++i;
        return lead;
    }
    size_t extra = lead >= 0xC2 && lead <= 0xDF ? 1 : lead >= 0xE0 && lead <= 0xEF ? 2 : lead >= 0xF0 && lead <= 0xF4 ? 3 : 0;
    if (extra == 0 || i + extra >= text.size()) {
        ++i;
        return 0xFFFD;
    }
    uint32_t cp = lead & (0x3F >> extra);
    for (size_t k = 1; k <= extra; ++k) {
        uint8_t next = byte(i + k);
        if ((next & 0xC0) != 0x80) {
            ++i;
            return 0xFFFD;
        }
        cp = (cp << 6) | (next & 0x3F);
    }
    static const uint32_t kMinimum[] = {0, 0x80, 0x800, 0x10000};
    if (cp < kMinimum[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        ++i;
        return 0xFFFD;
    }
    i += extra + 1;
    return cp;
}


} // namespace

std::vector<uint8_t> Utf8ToDeviceText(const std::string& text)
{
    std::vector<uint8_t> out;
    out.reserve(text.size() * 2 + 2);
    for (size_t i = 0; i < text.size();) {
        uint32_t cp = NextCodePoint(text, i);
        if (cp >= 0x10000) {
            cp -= 0x10000;
            AppendUnit(out, 0xD800 | (cp >> 10));
            AppendUnit(out, 0xDC00 | (cp & 0x3FF));
        } else {
            AppendUnit(out, cp);
        }
    }
    AppendUnit(out, 0);
    return out;
}

std::optional<std::string> DeviceTextToUtf8(const uint8_t* bytes, size_t length)
{
    std::string out;
    size_t units = length / 2;
    for (size_t i = 0; i < units; ++i) {
        uint32_t unit = bytes[2 * i] | (static_cast<uint32_t>(bytes[2 * i + 1]) << 8);
        if (unit == 0)
            break;
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            if (i + 1 >= units)
                return std::nullopt;
            uint32_t low = bytes[2 * i + 2] | (static_cast<uint32_t>(bytes[2 * i + 3]) << 8);
            if (low < 0xDC00 || low > 0xDFFF)
                return std::nullopt;
            platform::AppendUTF8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
            ++i;
        } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
            return std::nullopt;
        } else {
            platform::AppendUTF8(out, unit);
        }
    }
    return out;
}

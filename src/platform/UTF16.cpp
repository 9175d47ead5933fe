#include "platform/UTF16.h"

#include "platform/UTF8.h"

namespace platform {

std::optional<std::string> UTF16ToUTF8(std::span<const uint16_t> units, UTF16Invalid invalid)
{
    auto isHigh = [](char32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; };
    auto isLow = [](char32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; };
    std::string out;
    for (size_t i = 0; i < units.size(); ++i) {
        char32_t unit = units[i];
        if (isHigh(unit) && i + 1 < units.size() && isLow(units[i + 1])) {
            AppendUTF8(out, 0x10000 + ((unit - 0xD800) << 10) + (units[i + 1] - 0xDC00u));
            ++i;
        } else if (isHigh(unit) || isLow(unit)) {
            if (invalid == UTF16Invalid::Refuse)
                return std::nullopt;
            AppendUTF8(out, kUTF8Replacement);
        } else {
            AppendUTF8(out, unit);
        }
    }
    return out;
}

} // namespace platform

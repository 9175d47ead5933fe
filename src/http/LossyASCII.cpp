#include "http/LossyASCII.h"

#include <cstdint>
#include <cstring>

namespace {

// Length of the well-formed UTF-8 sequence that starts at `i`, or 0.
size_t SequenceLength(const std::string& text, size_t i)
{
    auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    unsigned char lead = byte(i);
    size_t length;
    unsigned minimum;
    unsigned code;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, minimum = 0x80, code = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, minimum = 0x800, code = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, minimum = 0x10000, code = lead & 0x07;
    } else {
        return 0;
    }
    if (i + length > text.size())
        return 0;
    for (size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80)
            return 0;
        code = (code << 6) | (byte(i + k) & 0x3F);
    }
    if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
        return 0;
    return length;
}

} // namespace

std::string LossyASCII(std::string text)
{
    // Most answers are ASCII already and pass through untouched; eight bytes are
    // looked at a time until the first that is not.
    size_t i = 0;
    for (uint64_t word; i + 8 <= text.size(); i += 8) {
        std::memcpy(&word, text.data() + i, 8);
        if (word & 0x8080808080808080ull)
            break;
    }
    while (i < text.size() && static_cast<unsigned char>(text[i]) < 0x80)
        ++i;
    size_t out = i;
    while (i < text.size()) {
        if (static_cast<unsigned char>(text[i]) < 0x80) {
            text[out++] = text[i++];
            continue;
        }
        size_t length = SequenceLength(text, i);
        text[out++] = '?';
        i += length ? length : 1;
    }
    text.resize(out);
    return text;
}

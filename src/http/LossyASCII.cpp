#include "http/LossyASCII.h"

#include "platform/UTF8.h"

#include <cstdint>
#include <cstring>

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
        // A whole character, or one stray byte read as U+FFFD: either way not ASCII.
        platform::NextUTF8(text, i, platform::kUTF8Replacing);
        text[out++] = '?';
    }
    text.resize(out);
    return text;
}

#include "http/LossyASCII.h"

#include "platform/UTF8.h"

std::string LossyASCII(std::string text)
{
    // Most answers are ASCII already and pass through untouched. They are looked at
    // a block at a time until the first block that is not, its bytes or-ed together
    // in a loop the compiler makes a few vector instructions: a listing's answer is
    // hundreds of KiB. Blocks of 256 bytes keep the fold of each block's result into
    // one byte a small share of the work.
    constexpr size_t kBlock = 256;
    size_t i = 0;
    for (; i + kBlock <= text.size(); i += kBlock) {
        unsigned char any = 0;
#pragma GCC unroll 16
        for (size_t j = 0; j < kBlock; ++j)
            any |= static_cast<unsigned char>(text[i + j]);
        if (any & 0x80)
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

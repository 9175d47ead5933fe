#include "platform/TextEncoding.h"

#include <cerrno>
#include <cstdint>
#include <iconv.h>

#include <algorithm>
#include <map>
#include <utility>

namespace platform {

namespace {

const char* IconvName(TextEncoding encoding)
{
    switch (encoding) {
    case TextEncoding::UTF8:
        return "UTF-8";
    case TextEncoding::MacOSRoman:
        return "MACINTOSH";
    case TextEncoding::ASCII:
        return "ASCII";
    }
    return "UTF-8";
}

} // namespace

bool IsValidUTF8(const std::string& bytes)
{
    size_t i = 0;
    const size_t n = bytes.size();
    while (i < n) {
        auto b = static_cast<unsigned char>(bytes[i]);
        if (b < 0x80) {
            ++i;
            continue;
        }
        size_t extra;
        uint32_t code;
        if (b >= 0xC2 && b <= 0xDF) {
            extra = 1;
            code = b & 0x1F;
        } else if (b >= 0xE0 && b <= 0xEF) {
            extra = 2;
            code = b & 0x0F;
        } else if (b >= 0xF0 && b <= 0xF4) {
            extra = 3;
            code = b & 0x07;
        } else {
            return false; // a continuation byte first, an overlong lead (C0, C1) or F5 and above
        }
        if (n - i <= extra)
            return false;
        for (size_t k = 1; k <= extra; ++k) {
            auto c = static_cast<unsigned char>(bytes[i + k]);
            if ((c & 0xC0) != 0x80)
                return false;
            code = (code << 6) | (c & 0x3F);
        }
        if ((extra == 2 && code < 0x800) || (extra == 3 && (code < 0x10000 || code > 0x10FFFF)) ||
            (code >= 0xD800 && code <= 0xDFFF))
            return false;
        i += extra + 1;
    }
    return true;
}

std::optional<std::string> ConvertText(const std::string& text, TextEncoding from, TextEncoding to)
{
    // iconv's own UTF-8 reader is lenient about some ill-formed forms; decide those here.
    if (from == TextEncoding::UTF8 && !IsValidUTF8(text))
        return std::nullopt;
    if (from == to)
        return text;
    // All three encodings share ASCII: such text is the same bytes in each.
    if (std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; }))
        return text;

    // A path is converted a few times a request; the converters are opened once
    // per thread and closed when it ends.
    struct Converters : std::map<std::pair<TextEncoding, TextEncoding>, iconv_t> {
        ~Converters()
        {
            for (auto& [pair, cd] : *this)
                if (cd != reinterpret_cast<iconv_t>(-1))
                    iconv_close(cd);
        }
    };
    thread_local Converters converters;
    auto [slot, fresh] = converters.try_emplace({from, to}, reinterpret_cast<iconv_t>(-1));
    if (fresh)
        slot->second = iconv_open(IconvName(to), IconvName(from));
    iconv_t cd = slot->second;
    if (cd == reinterpret_cast<iconv_t>(-1))
        return std::nullopt;
    iconv(cd, nullptr, nullptr, nullptr, nullptr); // back to the initial state

    std::string out;
    // Every encoding here takes at most four bytes per character, and a byte of
    // Mac OS Roman at most three in UTF-8.
    out.resize(text.size() * 4 + 4);
    char* in = const_cast<char*>(text.data());
    size_t inLeft = text.size();
    char* outPtr = out.data();
    size_t outLeft = out.size();
    bool ok = iconv(cd, &in, &inLeft, &outPtr, &outLeft) != static_cast<size_t>(-1) &&
              iconv(cd, nullptr, nullptr, &outPtr, &outLeft) != static_cast<size_t>(-1);
    if (!ok || inLeft != 0)
        return std::nullopt;
    out.resize(out.size() - outLeft);
    return out;
}

bool CanConvertText(const std::string& text, TextEncoding from, TextEncoding to)
{
    return ConvertText(text, from, to).has_value();
}

const char* TextEncodingDisplayName(TextEncoding encoding)
{
    switch (encoding) {
    case TextEncoding::UTF8:
        return "Unicode (UTF-8)";
    case TextEncoding::MacOSRoman:
        return "Western (Mac OS Roman)";
    case TextEncoding::ASCII:
        return "Western (ASCII)";
    }
    return "Unicode (UTF-8)";
}

void AppendUTF8(std::string& out, char32_t cp)
{
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

} // namespace platform

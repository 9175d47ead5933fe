#include "platform/TextEncoding.h"

#include <cerrno>
#include <iconv.h>

#include <algorithm>
#include <map>
#include <utility>

namespace platform {

namespace {

// An encoding's names: iconv's, and the one shown to people.
struct EncodingNames {
    const char* iconv;
    const char* display;
};

EncodingNames NamesOf(TextEncoding encoding)
{
    switch (encoding) {
    case TextEncoding::MacOSRoman:
        return {"MACINTOSH", "Western (Mac OS Roman)"};
    case TextEncoding::ASCII:
        return {"ASCII", "Western (ASCII)"};
    case TextEncoding::UTF8:
        break;
    }
    return {"UTF-8", "Unicode (UTF-8)"};
}

} // namespace

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
        slot->second = iconv_open(NamesOf(to).iconv, NamesOf(from).iconv);
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

const char* TextEncodingDisplayName(TextEncoding encoding) { return NamesOf(encoding).display; }

} // namespace platform

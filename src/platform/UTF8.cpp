#include "platform/UTF8.h"

namespace platform {

UTF8Sequence DecodeUTF8Sequence(std::string_view text, size_t at)
{
    auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    unsigned char lead = byte(at);
    if (lead < 0x80)
        return {lead, 1};
    size_t extra;
    char32_t code;
    if (lead >= 0xC2 && lead <= 0xDF) {
        extra = 1, code = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        extra = 2, code = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        extra = 3, code = lead & 0x07;
    } else {
        return {}; // a continuation byte first, an overlong lead (C0, C1) or F5 and above
    }
    if (text.size() - at <= extra)
        return {};
    for (size_t k = 1; k <= extra; ++k) {
        unsigned char next = byte(at + k);
        if ((next & 0xC0) != 0x80)
            return {};
        code = (code << 6) | (next & 0x3F);
    }
    static constexpr char32_t kSmallest[] = {0, 0x80, 0x800, 0x10000};
    if (code < kSmallest[extra] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
        return {};
    return {code, extra + 1};
}

bool IsValidUTF8(std::string_view bytes, UTF8Policy policy)
{
    policy.invalid = UTF8Invalid::Refuse;
    for (size_t at = 0; at < bytes.size();)
        if (!NextUTF8(bytes, at, policy))
            return false;
    return true;
}

std::optional<std::vector<char32_t>> DecodeUTF8(std::string_view text, UTF8Policy policy)
{
    std::vector<char32_t> out;
    out.reserve(text.size());
    for (size_t at = 0; at < text.size();) {
        auto codePoint = NextUTF8(text, at, policy);
        if (!codePoint)
            return std::nullopt;
        out.push_back(*codePoint);
    }
    return out;
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

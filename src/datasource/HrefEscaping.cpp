#include "datasource/HrefEscaping.h"

#include "platform/DecimalText.h"

namespace {

bool IsPlainHrefByte(unsigned char c)
{
    if (c < 33 || c > 122)
        return false;
    switch (c) {
    case '"': case '#': case '%': case '&':
    case ':': case ';': case '<': case '=': case '>': case '?': case '@':
    case '[': case '\\': case ']': case '^':
    case '`':
        return false;
    default:
        return true;
    }
}

void ReplaceAll(std::string& text, const std::string& what, const std::string& with)
{
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + with.size()))
        text.replace(at, what.size(), with);
}

// `bytes` appended to `out`, every byte `plain` refuses as "%" and two uppercase
// hexadecimal digits; a backslash as "/" when `slashes`. Runs of plain bytes are
// copied whole, and the rule is inlined where it is known: a listing escapes
// every member's name.
template <class Plain>
void AppendPercentEscaped(std::string& out, std::string_view bytes, Plain plain, bool slashes)
{
    static const char kHex[] = "0123456789ABCDEF";
    size_t run = 0; // the start of the run of bytes that go as they are
    for (size_t i = 0; i < bytes.size(); ++i) {
        auto c = static_cast<unsigned char>(bytes[i]);
        if (plain(c))
            continue;
        out.append(bytes, run, i - run);
        run = i + 1;
        if (c == '\\' && slashes) {
            out += '/';
        } else {
            // Always two digits: a byte below 0x10 written with one would run into
            // the character after it ("%9" then "x" reads back as the byte 0x9x).
            const char escape[] = {'%', kHex[c >> 4], kHex[c & 0xF]};
            out.append(escape, sizeof escape);
        }
    }
    out.append(bytes, run, std::string_view::npos);
}

} // namespace

std::string EscapeHrefBytes(const std::string& bytes) { return PercentEscaped(bytes, IsPlainHrefByte); }

std::string PercentEscaped(const std::string& bytes, bool (*plain)(unsigned char))
{
    std::string result;
    result.reserve(bytes.size() + bytes.size() / 2);
    AppendPercentEscaped(result, bytes, plain, false);
    return result;
}

void AppendEscapedHrefBytes(std::string& out, std::string_view bytes)
{
    AppendPercentEscaped(out, bytes, [](unsigned char c) { return IsPlainHrefByte(c); }, true);
}

std::string BackslashEscapesToSlashes(std::string text)
{
    ReplaceAll(text, "%5c", "/");
    ReplaceAll(text, "%5C", "/");
    return text;
}

std::string PercentDecode(const std::string& text)
{
    // Runs between escapes are copied whole: every request decodes its path a few
    // times, and most paths have no escape at all.
    std::string bytes;
    bytes.reserve(text.size());
    size_t plain = 0;
    for (size_t at = text.find('%'); at != std::string::npos; at = text.find('%', at + 1)) {
        int high, low;
        if (at + 2 < text.size() && (high = platform::HexDigitValue(text[at + 1])) >= 0 &&
            (low = platform::HexDigitValue(text[at + 2])) >= 0) {
            bytes.append(text, plain, at - plain);
            bytes += static_cast<char>(high * 16 + low);
            plain = at + 3;
            at += 2;
        }
    }
    bytes.append(text, plain, std::string::npos);
    return bytes;
}

std::string HrefElementText(const std::string& href)
{
    std::string text;
    text.reserve(href.size());
    AppendHrefElementText(text, href);
    return text;
}

void AppendHrefElementText(std::string& out, std::string_view href)
{
    static const char kHex[] = "0123456789ABCDEF";
    size_t plain = 0; // the start of the run of bytes that go as they are
    for (size_t i = 0; i < href.size(); ++i) {
        auto c = static_cast<unsigned char>(href[i]);
        if (c != '&' && c != '<' && c != '>' && c >= 0x20)
            continue;
        out.append(href, plain, i - plain);
        plain = i + 1;
        if (c == '&') {
            out += "&amp;";
        } else if (c == '<') {
            out += "&lt;";
        } else if (c == '>') {
            out += "&gt;";
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 0xF];
        }
    }
    out.append(href, plain, std::string_view::npos);
}

#include "datasource/HrefEscaping.h"

#include <cstdio>

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

} // namespace

std::string EscapeHrefBytes(const std::string& bytes)
{
    std::string result;
    for (char ch : bytes) {
        auto c = static_cast<unsigned char>(ch);
        if (IsPlainHrefByte(c)) {
            result += static_cast<char>(c);
        } else {
            char escaped[4];
            std::snprintf(escaped, sizeof escaped, "%%%X", c);
            result += escaped;
        }
    }
    return result;
}

std::string BackslashEscapesToSlashes(std::string text)
{
    ReplaceAll(text, "%5c", "/");
    ReplaceAll(text, "%5C", "/");
    return text;
}

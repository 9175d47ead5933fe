#include "dav/StandardSupport.h"

#include "datasource/HrefEscaping.h"
#include "datasource/LockTable.h"
#include "http/MarkupText.h"
#include "log/LogClient.h"

#include <cctype>
#include <exception>
#include <cstdio>

const char* StandardReason(int code)
{
    switch (code) {
    case 200: return "OK";
    case 201: return "Created";
    case 204: return "No Content";
    case 207: return "Multi-Status";
    case 400: return "Bad Request";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 409: return "Conflict";
    case 412: return "Precondition Failed";
    case 413: return "Request Entity Too Large";
    case 415: return "Unsupported Media Type";
    case 422: return "Unprocessable Entity";
    case 423: return "Locked";
    case 424: return "Failed Dependency";
    case 500: return "Internal Server Error";
    case 501: return "Not Implemented";
    case 502: return "Bad Gateway";
    case 507: return "Insufficient Storage";
    default: return "Unknown";
    }
}

std::string WithoutTrailingSlash(const std::string& uri)
{
    std::string text = uri;
    while (text.size() > 1 && text.back() == '/')
        text.pop_back();
    return text;
}

std::string ParentURI(const std::string& uri)
{
    std::string text = WithoutTrailingSlash(uri);
    size_t slash = text.rfind('/');
    return slash == std::string::npos ? std::string("/") : text.substr(0, slash + 1);
}

std::string LastSegment(const std::string& uri)
{
    std::string text = WithoutTrailingSlash(uri);
    size_t slash = text.rfind('/');
    return slash == std::string::npos ? text : text.substr(slash + 1);
}

int StatusOfChange(const std::function<int()>& change)
{
    try {
        return change();
    } catch (...) {
        LogCaughtFailure("change failed");
    }
    return 500;
}

bool SameOrBelow(const std::string& inner, const std::string& outer)
{
    std::string in = LockTable::key(inner), out = LockTable::key(outer);
    return in == out || (in.size() > out.size() && in.compare(0, out.size(), out) == 0 && in[out.size()] == '/');
}

std::string XmlEscaped(const std::string& text) { return MarkupEscaped(text, true); }

std::string AsciiCharacterReferences(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        auto c = static_cast<unsigned char>(text[i]);
        size_t length = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
        if (length == 1) {
            out += static_cast<char>(c);
            ++i;
            continue;
        }
        // A byte that starts no UTF-8 sequence (the parser never lets one through).
        if (length == 0 || i + length > text.size()) {
            out += '?';
            ++i;
            continue;
        }
        uint32_t code = c & (0xFF >> (length + 1));
        for (size_t k = 1; k < length; ++k)
            code = (code << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
        char reference[16];
        std::snprintf(reference, sizeof reference, "&#x%X;", static_cast<unsigned>(code));
        out += reference;
        i += length;
    }
    return out;
}

std::string UriEscaped(const std::string& path)
{
    return PercentEscaped(path, [](unsigned char c) {
        return std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~' || c == '/';
    });
}

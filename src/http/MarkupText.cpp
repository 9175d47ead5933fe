#include "http/MarkupText.h"

std::string MarkupEscaped(const std::string& text, bool apostrophe)
{
    std::string escaped;
    escaped.reserve(text.size());
    for (char c : text) {
        switch (c) {
        case '<': escaped += "&lt;"; break;
        case '>': escaped += "&gt;"; break;
        case '&': escaped += "&amp;"; break;
        case '"': escaped += "&quot;"; break;
        case '\'':
            if (apostrophe) {
                escaped += "&#39;";
                break;
            }
            [[fallthrough]];
        default: escaped += c;
        }
    }
    return escaped;
}

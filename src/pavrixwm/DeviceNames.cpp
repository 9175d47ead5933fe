#include "pavrixwm/DeviceNames.h"

#include "platform/UTF8.h"

#include <clocale>
#include <cwctype>
#include <locale.h>

namespace {

// Case mapping must not depend on the process's locale settings, so it uses a
// UTF-8 locale of its own; without one only ASCII letters are folded.
locale_t FoldingLocale()
{
    static locale_t locale = [] {
        locale_t made = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
        if (!made)
            made = newlocale(LC_CTYPE_MASK, "en_US.UTF-8", static_cast<locale_t>(0));
        return made;
    }();
    return locale;
}

char32_t Fold(char32_t cp)
{
    if (cp < 0x80)
        return (cp >= 'A' && cp <= 'Z') ? cp + 32 : cp;
    if (cp >= platform::kUTF8KeptByte)
        return cp;
    locale_t locale = FoldingLocale();
    if (!locale)
        return cp;
    return static_cast<char32_t>(towlower_l(static_cast<wint_t>(cp), locale));
}

std::vector<char32_t> Folded(const std::string& text)
{
    // A byte that is not part of a character is kept as itself, so that such names
    // still compare equal only to themselves.
    auto points = *platform::DecodeUTF8(text, platform::kUTF8KeepingBytes);
    for (auto& cp : points)
        cp = Fold(cp);
    return points;
}

bool Matches(const std::vector<char32_t>& pattern, size_t p, const std::vector<char32_t>& name, size_t n)
{
    // Iterative matching with one backtrack point: linear enough for file names and
    // never recursive on hostile patterns.
    size_t starP = std::string::npos, starN = 0;
    while (n < name.size()) {
        if (p < pattern.size() && (pattern[p] == U'?' || pattern[p] == name[n])) {
            ++p;
            ++n;
        } else if (p < pattern.size() && pattern[p] == U'*') {
            starP = p++;
            starN = n;
        } else if (starP != std::string::npos) {
            p = starP + 1;
            n = ++starN;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == U'*')
        ++p;
    return p == pattern.size();
}

} // namespace

bool DeviceNamesEqual(const std::string& a, const std::string& b) { return a == b || Folded(a) == Folded(b); }

// Characters in UTF-8, whose bytes compare as the code points do; a kept byte
// (above every character) as 0xF8, above every UTF-8 lead byte, and the byte.
void AppendOrdered(std::string& key, char32_t cp)
{
    if (cp >= platform::kUTF8KeptByte) {
        key += static_cast<char>(0xF8);
        key += static_cast<char>(cp - platform::kUTF8KeptByte);
    } else if (cp < 0x80) {
        key += static_cast<char>(cp);
    } else if (cp < 0x800) {
        key += static_cast<char>(0xC0 | (cp >> 6));
        key += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        key += static_cast<char>(0xE0 | (cp >> 12));
        key += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        key += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        key += static_cast<char>(0xF0 | (cp >> 18));
        key += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        key += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        key += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

DeviceNameKey DeviceNameSortKey(const std::string& name)
{
    DeviceNameKey key(name.size(), '\0');
    bool ascii = true;
    for (size_t i = 0; i < name.size(); ++i) {
        auto c = static_cast<unsigned char>(name[i]);
        ascii = ascii && c < 0x80;
        key[i] = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    }
    if (ascii)
        return key;
    key.clear();
    for (char32_t cp : Folded(name))
        AppendOrdered(key, cp);
    return key;
}

bool DeviceNameHasKey(const std::string& name, const DeviceNameKey& key)
{
    bool ascii = true;
    for (unsigned char c : name)
        ascii = ascii && c < 0x80;
    if (!ascii)
        return DeviceNameSortKey(name) == key;
    // An ASCII name's key is the name itself with its capitals made small.
    if (name.size() != key.size())
        return false;
    for (size_t i = 0; i < name.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(name[i]);
        if (static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c) != key[i])
            return false;
    }
    return true;
}

bool DeviceNameLess(const std::string& a, const std::string& b)
{
    auto fa = Folded(a), fb = Folded(b);
    if (fa != fb)
        return fa < fb;
    return a < b;
}

bool DeviceNameMatches(const std::string& pattern, const std::string& name)
{
    if (pattern == "*" || pattern == "*.*")
        return true;
    return Matches(Folded(pattern), 0, Folded(name), 0);
}

size_t LastNameStart(std::string_view path)
{
    size_t start = path.size();
    while (start > 0 && path[start - 1] != '\\' && path[start - 1] != '/')
        --start;
    return start;
}

bool HasWildcard(std::string_view name)
{
    // Two scans rather than find_first_of("*?"), which calls memchr for every byte.
    return name.find('*') != std::string_view::npos || name.find('?') != std::string_view::npos;
}

bool IsValidDeviceName(const std::string& name)
{
    if (name.empty() || name == "." || name == "..")
        return false;
    for (unsigned char c : name) {
        if (c < 0x20)
            return false;
        switch (c) {
        case '\\': case '/': case ':': case '*': case '?': case '"': case '<': case '>': case '|':
            return false;
        default:
            break;
        }
    }
    return true;
}

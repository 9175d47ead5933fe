#include "pavrixwm/DeviceNames.h"

#include "platform/TextEncoding.h"

#include <clocale>
#include <cwctype>
#include <locale.h>
#include <vector>

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

// Code points of UTF-8 text; an invalid byte b is carried as 0x110000 + b so that it
// only ever equals itself.
std::vector<char32_t> CodePoints(const std::string& text)
{
    std::vector<char32_t> out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        auto b = static_cast<unsigned char>(text[i]);
        size_t extra = b < 0x80 ? 0 : b >= 0xC2 && b <= 0xDF ? 1 : b >= 0xE0 && b <= 0xEF ? 2 : b >= 0xF0 && b <= 0xF4 ? 3 : 99;
        bool ok = extra != 99 && i + extra < text.size();
        char32_t cp = extra == 0 ? b : b & (0x3F >> extra);
        for (size_t k = 1; ok && k <= extra; ++k) {
            auto c = static_cast<unsigned char>(text[i + k]);
            if ((c & 0xC0) != 0x80)
                ok = false;
            cp = (cp << 6) | (c & 0x3F);
        }
        static const char32_t kMinimum[] = {0, 0x80, 0x800, 0x10000};
        if (ok && (cp < kMinimum[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)))
            ok = false;
        if (!ok) {
            out.push_back(0x110000 + b);
            ++i;
            continue;
        }
        out.push_back(cp);
        i += extra + 1;
    }
    return out;
}

char32_t Fold(char32_t cp)
{
    if (cp < 0x80)
        return (cp >= 'A' && cp <= 'Z') ? cp + 32 : cp;
    if (cp > 0x10FFFF)
        return cp;
    locale_t locale = FoldingLocale();
    if (!locale)
        return cp;
    return static_cast<char32_t>(towlower_l(static_cast<wint_t>(cp), locale));
}

std::vector<char32_t> Folded(const std::string& text)
{
    auto points = CodePoints(text);
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

std::string FoldDeviceName(const std::string& name)
{
    std::string out;
    for (char32_t cp : Folded(name)) {
        if (cp > 0x10FFFF) {
            out.push_back(static_cast<char>(cp - 0x110000));
        } else {
            platform::AppendUTF8(out, cp);
        }
    }
    return out;
}

bool DeviceNamesEqual(const std::string& a, const std::string& b) { return a == b || Folded(a) == Folded(b); }

DeviceNameKey DeviceNameSortKey(const std::string& name) { return Folded(name); }

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

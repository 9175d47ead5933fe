#include "prefs/PrefTypedValues.h"

#include "platform/DecimalText.h"

#include <cmath>
#include <limits>
#include <string>

using platform::PlistObject;

namespace {

// A text read as a number: leading blanks, an optional sign, then digits; the
// rest is ignored. Saturates at the ends of the 32-bit range; 0 without digits.
int32_t TextIntValue(const std::string& text)
{
    return platform::SaturatedInt32(platform::ReadDecimalPrefix(text));
}

// A text read as a flag: true when, after blanks, a sign and leading zeros, it
// starts with Y, y, T, t or a digit 1 to 9.
bool TextBoolValue(const std::string& text)
{
    size_t i = 0;
    while (i < text.size() && platform::IsLeadingBlank(text[i]))
        ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        ++i;
    while (i < text.size() && text[i] == '0')
        ++i;
    if (i >= text.size())
        return false;
    char c = text[i];
    return c == 'Y' || c == 'y' || c == 'T' || c == 't' || (c >= '1' && c <= '9');
}

std::optional<double> RealValue(const PlistObject& value)
{
    if (value.type() != PLIST_REAL)
        return std::nullopt;
    double real = 0;
    plist_get_real_val(value.node(), &real);
    return real;
}

} // namespace

std::optional<int32_t> PrefIntValue(const PlistObject& value)
{
    if (auto integer = value.asInteger())
        return static_cast<int32_t>(*integer); // the low 32 bits, as a cast to int keeps them
    if (auto flag = value.asBoolean())
        return *flag ? 1 : 0;
    if (auto text = value.asString())
        return TextIntValue(*text);
    if (auto real = RealValue(value)) {
        if (std::isnan(*real))
            return 0;
        double clamped = std::fmax(std::fmin(*real, std::numeric_limits<int32_t>::max()),
                                   std::numeric_limits<int32_t>::min());
        return static_cast<int32_t>(clamped);
    }
    return std::nullopt;
}

std::optional<bool> PrefBoolValue(const PlistObject& value)
{
    if (auto flag = value.asBoolean())
        return *flag;
    if (auto integer = value.asInteger())
        return *integer != 0;
    if (auto text = value.asString())
        return TextBoolValue(*text);
    if (auto real = RealValue(value))
        return *real != 0.0;
    return std::nullopt;
}

std::optional<platform::CalendarDate> PrefDateValue(const PlistObject& value)
{
    std::optional<std::string> text = value.asString();
    if (!text)
        return std::nullopt;
    return platform::CalendarDate::parse(kCalendarFormat, *text);
}

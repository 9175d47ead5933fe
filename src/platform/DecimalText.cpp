#include "platform/DecimalText.h"

#include <limits>

namespace platform {

bool IsLeadingBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

DecimalPrefix ReadDecimalPrefix(std::string_view text)
{
    DecimalPrefix number;
    size_t i = 0;
    while (i < text.size() && IsLeadingBlank(text[i]))
        ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        number.negative = text[i++] == '-';
    constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        number.hasDigits = true;
        auto digit = static_cast<uint64_t>(text[i] - '0');
        if (number.overflow || number.magnitude > (kMax - digit) / 10) {
            number.overflow = true;
            number.magnitude = kMax;
        } else {
            number.magnitude = number.magnitude * 10 + digit;
        }
    }
    number.end = i;
    return number;
}

int32_t SaturatedInt32(const DecimalPrefix& number)
{
    constexpr uint64_t kLargest = std::numeric_limits<int32_t>::max();
    if (number.negative)
        return number.magnitude > kLargest ? std::numeric_limits<int32_t>::min() : -static_cast<int32_t>(number.magnitude);
    return number.magnitude > kLargest ? std::numeric_limits<int32_t>::max() : static_cast<int32_t>(number.magnitude);
}

bool IsPlainDecimal(std::string_view text)
{
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t'))
        ++i;
    size_t digits = i;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9')
        ++i;
    if (i == digits)
        return false;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t'))
        ++i;
    return i == text.size();
}

int HexDigitValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

} // namespace platform

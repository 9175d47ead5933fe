#include "dav/ByteRange.h"

#include <algorithm>
#include <cctype>

namespace {

std::string Trimmed(const std::string& text)
{
    size_t start = text.find_first_not_of(" \t");
    if (start == std::string::npos)
        return {};
    size_t end = text.find_last_not_of(" \t");
    return text.substr(start, end - start + 1);
}

// Decimal digits only, none of them missing and no overflow.
std::optional<uint64_t> Number(const std::string& digits)
{
    if (digits.empty() || digits.size() > 19)
        return std::nullopt;
    uint64_t value = 0;
    for (char c : digits) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    return value;
}

} // namespace

ByteRange ChooseByteRange(const std::string& header, uint64_t size)
{
    std::string text = Trimmed(header);
    const std::string unit = "bytes=";
    if (text.size() < unit.size() ||
        !std::equal(unit.begin(), unit.end(), text.begin(),
                    [](char a, char b) { return a == std::tolower(static_cast<unsigned char>(b)); }))
        return {};
    std::string spec = Trimmed(text.substr(unit.size()));
    size_t dash = spec.find('-');
    if (dash == std::string::npos || spec.find(',') != std::string::npos)
        return {};
    std::string from = Trimmed(spec.substr(0, dash)), to = Trimmed(spec.substr(dash + 1));

    if (from.empty()) {
        // The last n bytes.
        auto n = Number(to);
        if (!n)
            return {};
        if (*n == 0 || size == 0)
            return {ByteRange::Unsatisfiable};
        uint64_t count = std::min(*n, size);
        return {ByteRange::Part, size - count, count};
    }
    auto first = Number(from);
    std::optional<uint64_t> last = to.empty() ? std::optional<uint64_t>(UINT64_MAX) : Number(to);
    if (!first || !last || *last < *first)
        return {};
    if (*first >= size)
        return {ByteRange::Unsatisfiable};
    uint64_t end = std::min(*last, size - 1);
    return {ByteRange::Part, *first, end - *first + 1};
}

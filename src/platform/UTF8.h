#pragma once

// One UTF-8 reader for every place that takes text apart. All of them agree on what
// a well-formed character is: a lead byte C2-DF, E0-EF or F0-F4 with its
// continuation bytes, no overlong form, no surrogate, nothing past U+10FFFF. They
// differ in what a NUL means to them and in what a byte outside such a character
// becomes, which is what a policy names.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

enum class UTF8Invalid : uint8_t {
    Refuse,          // the text as a whole is refused
    ReplaceEachByte, // each byte outside a well-formed character reads as U+FFFD
    KeepEachByte,    // each such byte b reads as kUTF8KeptByte + b, which only ever equals itself
};

struct UTF8Policy {
    bool acceptNul;      // a NUL byte counts as a character (otherwise as an invalid byte)
    UTF8Invalid invalid; // what an invalid byte becomes
};

// Text conversions, paths and preference text: well-formed or nothing.
inline constexpr UTF8Policy kUTF8Strict{true, UTF8Invalid::Refuse};
// A line for the bus, which would cut it at its first NUL.
inline constexpr UTF8Policy kUTF8BusText{false, UTF8Invalid::Refuse};
// Text that must go out whatever it holds (to the device, as ASCII answers).
inline constexpr UTF8Policy kUTF8Replacing{true, UTF8Invalid::ReplaceEachByte};
// Names compared and folded: a stray byte keeps its identity.
inline constexpr UTF8Policy kUTF8KeepingBytes{true, UTF8Invalid::KeepEachByte};

inline constexpr char32_t kUTF8Replacement = 0xFFFD;
// Above every code point, so a kept byte never equals a character.
inline constexpr char32_t kUTF8KeptByte = 0x110000;

// The well-formed character that starts at `at` (a byte below 0x80 included): its
// code point and its length in bytes, or length 0 when there is none.
struct UTF8Sequence {
    char32_t codePoint = 0;
    size_t length = 0;
};
UTF8Sequence DecodeUTF8Sequence(std::string_view text, size_t at);

// The character at `at` read under `policy`, `at` moved past it (one byte for an
// invalid byte). None only when the policy refuses what is there; `at` then stays.
inline std::optional<char32_t> NextUTF8(std::string_view text, size_t& at, UTF8Policy policy)
{
    auto lead = static_cast<unsigned char>(text[at]);
    UTF8Sequence sequence;
    if (lead != 0 && lead < 0x80)
        sequence = {lead, 1};
    else if (lead != 0 || policy.acceptNul)
        sequence = DecodeUTF8Sequence(text, at);
    if (sequence.length) {
        at += sequence.length;
        return sequence.codePoint;
    }
    switch (policy.invalid) {
    case UTF8Invalid::Refuse:
        return std::nullopt;
    case UTF8Invalid::ReplaceEachByte:
        ++at;
        return kUTF8Replacement;
    case UTF8Invalid::KeepEachByte:
        break;
    }
    ++at;
    return kUTF8KeptByte + lead;
}

// Whether every byte of `bytes` is part of a character the policy accepts.
bool IsValidUTF8(std::string_view bytes, UTF8Policy policy = kUTF8Strict);
// The code points of `text` under `policy`; none when the policy refuses it.
std::optional<std::vector<char32_t>> DecodeUTF8(std::string_view text, UTF8Policy policy);
// Appends the UTF-8 form of one code point (at most U+10FFFF).
void AppendUTF8(std::string& out, char32_t codePoint);

} // namespace platform

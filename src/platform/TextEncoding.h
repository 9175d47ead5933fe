#pragma once

// Text encodings through iconv: strict conversions that fail rather than lose a
// character, and the encodings' display names for the log.

#include <optional>
#include <string>

namespace platform {

enum class TextEncoding {
    UTF8,
    MacOSRoman,
    ASCII,
};

// The system's default text encoding (and its default C-string encoding).
inline constexpr TextEncoding kSystemTextEncoding = TextEncoding::UTF8;

// The bytes of `text` (in `from`) re-encoded in `to`. None when the bytes are not
// valid in `from` or a character has no counterpart in `to`; nothing is ever
// replaced or dropped.
std::optional<std::string> ConvertText(const std::string& text, TextEncoding from, TextEncoding to);
// Whether `to` can hold every character of `text` (in `from`).
bool CanConvertText(const std::string& text, TextEncoding from, TextEncoding to);
// Well-formed UTF-8: no overlong forms, no surrogates, nothing past U+10FFFF.
bool IsValidUTF8(const std::string& bytes);
// Appends the UTF-8 form of one code point (at most U+10FFFF).
void AppendUTF8(std::string& out, char32_t codePoint);
// The name users see: "Western (Mac OS Roman)", "Unicode (UTF-8)", "Western (ASCII)".
const char* TextEncodingDisplayName(TextEncoding encoding);

} // namespace platform

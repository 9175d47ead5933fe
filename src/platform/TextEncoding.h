#pragma once

// Text encodings through iconv: strict conversions that fail rather than lose a
// character, and the encodings' display names for the log.

// IsValidUTF8 and AppendUTF8, which the conversions rest on, come with this header.
#include "platform/UTF8.h"

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
// The name users see: "Western (Mac OS Roman)", "Unicode (UTF-8)", "Western (ASCII)".
const char* TextEncodingDisplayName(TextEncoding encoding);

} // namespace platform

#pragma once

#include <string>
#include <string_view>

// The byte rule of hrefs in answers: a byte from 33 to 122 stays as it is unless it
// is one of " # % & : ; < = > ? @ [ \ ] ^ `; every other byte becomes "%" and its
// value as two uppercase hexadecimal digits (a tab is %09).
std::string EscapeHrefBytes(const std::string& bytes);
// Every byte `plain` refuses as "%" and two uppercase hexadecimal digits.
std::string PercentEscaped(const std::string& bytes, bool (*plain)(unsigned char));

// BackslashEscapesToSlashes(EscapeHrefBytes(bytes)) appended to `out`: since "%" is
// always escaped, the only "%5C" in an escaped text is a backslash's.
void AppendEscapedHrefBytes(std::string& out, std::string_view bytes);

// Every "%5c" and then every "%5C" made "/": a device's backslash separator shows
// as a folder separator.
std::string BackslashEscapesToSlashes(std::string text);

// "%" and two hexadecimal digits (either case) become the byte of that value;
// every other byte, a "%" without two such digits after it included, is kept.
std::string PercentDecode(const std::string& text);

// An href as element text: "&", "<" and ">" become entities, so that the href a
// client parses is exactly the URI; a control character, which XML cannot carry
// at all, is written as "%" and two hexadecimal digits, which name the same
// device path once decoded.
std::string HrefElementText(const std::string& href);
// The same appended to `out`.
void AppendHrefElementText(std::string& out, std::string_view href);

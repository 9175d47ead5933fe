#pragma once

#include <string>

// The byte rule of hrefs in answers: a byte from 33 to 122 stays as it is unless it
// is one of " # % & : ; < = > ? @ [ \ ] ^ `; every other byte becomes "%" and its
// value in uppercase hexadecimal without a leading zero (a tab is %9).
std::string EscapeHrefBytes(const std::string& bytes);

// Every "%5c" and then every "%5C" made "/": a device's backslash separator shows
// as a folder separator.
std::string BackslashEscapesToSlashes(std::string text);

#pragma once

#include <string>

// UTF-8 text as ASCII bytes: each character that ASCII lacks becomes "?" (a byte
// that is no part of a well-formed UTF-8 character counts as one character).
// Works in place on a string given to it, since the result is never longer.
std::string LossyASCII(std::string text);

#pragma once

#include <string>

// Text as it may stand in an HTML page or an XML document: "<", ">", "&" and '"'
// become entities, and so does "'" when `apostrophe` is on; every other byte stays.
std::string MarkupEscaped(const std::string& text, bool apostrophe);

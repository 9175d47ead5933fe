#pragma once

// How the device compares and matches file and key names: without regard to
// letter case (Unicode simple lower-casing, so "É" matches "é"), with the "*" and
// "?" wildcards of a find pattern.

#include <string>
#include <string_view>
#include <vector>

bool DeviceNamesEqual(const std::string& a, const std::string& b);
// Listing order: by folded name, then by the bytes to keep the order total.
bool DeviceNameLess(const std::string& a, const std::string& b);
// The first part of that order as a value, for sorting many names: a < b when
// DeviceNameSortKey(a) < DeviceNameSortKey(b), or the keys are equal and the bytes less.
// The key is the folded name in bytes that compare as its characters do (so a
// short ASCII name costs no allocation and a comparison is a memcmp).
using DeviceNameKey = std::string;
DeviceNameKey DeviceNameSortKey(const std::string& name);
// DeviceNamesEqual(name, other) for every name tried against one `other`, given
// DeviceNameSortKey(other): an ASCII name is compared as it is, without folding.
bool DeviceNameHasKey(const std::string& name, const DeviceNameKey& key);
// Whether `name` matches a find pattern: "*" any run of characters, "?" one
// character, other characters without regard to case; "*.*" matches every name.
bool DeviceNameMatches(const std::string& pattern, const std::string& name);
// Where the last name of a path begins: after its last backslash or slash (a loop,
// not find_last_of, which calls memchr for every byte); 0 when it has neither.
size_t LastNameStart(std::string_view path);
// Whether a name holds "*" or "?", which a find takes for a pattern.
bool HasWildcard(std::string_view name);
// Whether a name may be stored on the device: not empty, no control characters and
// none of \ / : * ? " < > |, not "." or "..".
bool IsValidDeviceName(const std::string& name);

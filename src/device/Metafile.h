#pragma once

#include <string>

// Whether a URI names one of the desktop's own metadata files: its last name
// begins with "._" or ".DS_Store". Such files never go to the device.
//
// The name is taken as the device would see it: escapes decoded, trailing
// separators dropped (a folder "._d/" is one too), an escaped "/" or "\" taken as
// the separator it becomes, and letters compared without regard to case, as the
// device compares them. Any spelling that lands on a "._" name is one.
bool IsMetafile(const std::string& uri);
// The same rule for one name as it stands in a folder: no escapes, no separators.
bool IsMetafileName(const std::string& name);

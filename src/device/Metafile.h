#pragma once

#include <string>

// Whether a URI names one of the desktop's own metadata files: its last path
// piece (empty when the URI ends in "/") begins with "._" or ".DS_Store". Such
// files never go to the device; letter case counts.
bool IsMetafile(const std::string& uri);

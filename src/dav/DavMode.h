#pragma once

#include <cstdlib>
#include <cstring>

// Whether the daemon gives standard WebDAV answers where its own differ
// (PAVRIX_STANDARD_DAV=1): the Linux desktop's clients parse answers strictly and
// need class 1 in the DAV header, every property of a propstat in one prop
// element, all properties for an empty or allprop body, and a well-formed lock
// document. Read at each use, so that it is one switch for the whole process.
inline bool StandardDavAnswers()
{
    const char* value = std::getenv("PAVRIX_STANDARD_DAV");
    return value && std::strcmp(value, "1") == 0;
}

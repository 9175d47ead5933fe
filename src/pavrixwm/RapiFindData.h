#pragma once

// One result of CeFindAllFiles. Fields the find's FAF mask did not ask for are
// left zero or empty; an unset time is the zero time_point (the host clock's
// epoch, since 1601 does not fit the clock's nanosecond range). A time outside
// that range (before 1677 or after 2262) is left unset as well, never wrapped.

#include <chrono>
#include <cstdint>
#include <string>

struct RapiFindData {
    std::string filename;  // the name alone, without its folder (FAF_NAME)
    uint32_t attributes = 0; // FILE_ATTRIBUTE_* bits (FAF_ATTRIBUTES)
    // Device file times, to FILETIME accuracy (100 ns).
    std::chrono::system_clock::time_point creationTime;   // FAF_CREATION_TIME
    std::chrono::system_clock::time_point lastAccessTime; // FAF_LASTACCESS_TIME
    std::chrono::system_clock::time_point lastModTime;    // FAF_LASTWRITE_TIME
    uint64_t fileSize = 0; // FAF_SIZE_HIGH gives the high 32 bits, FAF_SIZE_LOW the low
    uint32_t oid = 0;      // FAF_OID
    bool operator==(const RapiFindData&) const = default;
};

#pragma once

#include "datasource/CacheLife.h"
#include "datasource/ChildRecord.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

// The members of the last folder listed, found by name without a scan: a client
// that lists a folder asks after each member in turn, and each is answered from
// here rather than from the device. A listing serves for kCacheLife only, since a
// change made on the device itself is not seen by the daemon.
class ListingCache {
public:
    using Members = std::vector<ChildRecord>;
    using TimePoint = std::chrono::steady_clock::time_point;

    // Keeps `members`, listed at `now`, in place of what was kept.
    const Members& keep(Members members, TimePoint now);
    // The first member named `name` while the listing is younger than kCacheLife
    // at `now`; null otherwise.
    const ChildRecord* find(const std::string& name, TimePoint now) const;
    void forget();

private:
    Members members;
    // Indexes of `members` sorted by name, the first of a name first: four bytes a
    // member rather than a second copy of every name.
    std::vector<uint32_t> byName;
    TimePoint made{};
};

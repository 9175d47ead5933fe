#include "dav/DavMode.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace {

// -1 until fixed, then 0 or 1. Set once at start, before any connection is served.
std::atomic<int> gFixedStandard{-1};

} // namespace

bool StandardDavAnswersFromEnvironment()
{
    const char* value = std::getenv("PAVRIX_STANDARD_DAV");
    return value && std::strcmp(value, "1") == 0;
}

void FixStandardDavAnswers(bool standard) { gFixedStandard.store(standard ? 1 : 0, std::memory_order_relaxed); }

bool StandardDavAnswers()
{
    int fixed = gFixedStandard.load(std::memory_order_relaxed);
    return fixed < 0 ? StandardDavAnswersFromEnvironment() : fixed == 1;
}

#include "dav/DavMode.h"

#include <atomic>

namespace {

std::atomic<bool> gStandardDav{false};

} // namespace

void SetStandardDavAnswers(bool standard) { gStandardDav.store(standard, std::memory_order_relaxed); }

bool StandardDavAnswers() { return gStandardDav.load(std::memory_order_relaxed); }

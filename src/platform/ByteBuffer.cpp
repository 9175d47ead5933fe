#include "platform/ByteBuffer.h"

#include <cstdlib>
#include <malloc.h>
#include <mutex>
#include <new>
#include <sys/mman.h>

namespace platform {

namespace {

constexpr size_t kHugePage = size_t(2) << 20;
// Below this a buffer gains nothing from huge pages worth their rounding up.
constexpr size_t kHugeThreshold = size_t(8) << 20;

size_t Rounded(size_t bytes) { return (bytes + kHugePage - 1) / kHugePage * kHugePage; }

// The last large buffer freed, kept with its pages in.
struct Spare {
    std::mutex mutex;
    void* block = nullptr;
    size_t size = 0;
};
Spare& TheSpare()
{
    static Spare* spare = new Spare; // never destroyed: buffers may be freed during exit
    return *spare;
}

} // namespace

void* AllocateBytes(size_t bytes)
{
    if (bytes < kHugeThreshold)
        return ::operator new(bytes);
    size_t rounded = Rounded(bytes);
    {
        Spare& spare = TheSpare();
        std::lock_guard lock(spare.mutex);
        if (spare.block && spare.size >= rounded && spare.size <= 2 * rounded) {
            void* block = spare.block;
            spare.block = nullptr;
            return block;
        }
    }
    // Memory that earlier requests freed into the heap goes back to the system
    // before a large buffer is faulted in on top of it, so that the two never add up.
    ::malloc_trim(0);
    void* p = std::aligned_alloc(kHugePage, rounded);
    if (!p)
        throw std::bad_alloc();
    ::madvise(p, rounded, MADV_HUGEPAGE); // advice only: without it, plain pages
    return p;
}

void FreeBytes(void* p, size_t bytes)
{
    if (bytes < kHugeThreshold) {
        ::operator delete(p);
        return;
    }
    // A block handed out again may be larger than this size; it holds at least this.
    size_t rounded = Rounded(bytes);
    Spare& spare = TheSpare();
    std::lock_guard lock(spare.mutex);
    if (!spare.block) {
        spare.block = p;
        spare.size = rounded;
        return;
    }
    std::free(p);
}

void ReleaseSpareBuffer()
{
    Spare& spare = TheSpare();
    std::lock_guard lock(spare.mutex);
    std::free(spare.block);
    spare.block = nullptr;
    spare.size = 0;
}

} // namespace platform

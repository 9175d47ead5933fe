#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace platform {

// Makes a vector's new elements without zeroing them when no value is given: a
// buffer that a read is about to fill would otherwise be written twice, and for a
// whole-file read of tens of MiB that first write is most of the cost.
// Large buffers are asked for in huge pages where the system offers them, so that
// filling one faults a page in per 2 MiB instead of per 4 KiB; the last one freed
// is kept for the next large buffer that fits, whose pages are then already in.
void* AllocateBytes(size_t bytes);
void FreeBytes(void* p, size_t bytes);
// Gives the kept buffer back to the system (the daemon does this when idle).
void ReleaseSpareBuffer();

template <class T>
struct DefaultInitAllocator : std::allocator<T> {
    template <class U>
    struct rebind {
        using other = DefaultInitAllocator<U>;
    };
    using std::allocator<T>::allocator;
    T* allocate(size_t n) { return static_cast<T*>(AllocateBytes(n * sizeof(T))); }
    void deallocate(T* p, size_t n) { FreeBytes(p, n * sizeof(T)); }
    template <class U>
    void construct(U* p)
    {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... Args>
    void construct(U* p, Args&&... args)
    {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
};

// Bytes read from a file or a client: vector(n) and resize(n) leave new bytes
// unset, to be filled by the caller.
using ByteBuffer = std::vector<uint8_t, DefaultInitAllocator<uint8_t>>;

} // namespace platform

// Large byte buffers: one freed buffer is kept and handed to the next one that fits,
// never to one it is too small for.

#include "platform/ByteBuffer.h"

#include <gtest/gtest.h>

#include <tuple>

using platform::ByteBuffer;

TEST(ByteBuffer, TheSpareGoesOnlyToABufferItCanHold)
{
    constexpr size_t MiB = size_t(1) << 20;
    // the first size, the second, whether the second takes the first's memory
    const std::tuple<size_t, size_t, bool> rows[] = {
        {64 * MiB, 64 * MiB, true},
        {64 * MiB, 40 * MiB, true},
        {64 * MiB, 20 * MiB, false}, // would hold more than twice what is needed
        {20 * MiB, 64 * MiB, false}, // too small
        {20 * MiB + 1, 22 * MiB, true}, // both round up to the same huge pages
    };
    for (const auto& [firstSize, secondSize, reused] : rows) {
        SCOPED_TRACE(std::to_string(firstSize) + " then " + std::to_string(secondSize));
        platform::ReleaseSpareBuffer();
        const uint8_t* first;
        {
            ByteBuffer buffer(firstSize);
            buffer.back() = 1;
            first = buffer.data();
        }
        ByteBuffer second(secondSize);
        second.front() = 2; // the whole buffer is usable
        second.back() = 3;
        EXPECT_EQ(second.data() == first, reused);
    }
    platform::ReleaseSpareBuffer();
}

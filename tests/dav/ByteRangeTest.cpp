// The single byte range a GET may ask for in standard answers.

#include "dav/ByteRange.h"

#include <gtest/gtest.h>

TEST(ByteRange, OneRangeOfBytesIsHonouredAndEverythingElseIgnored)
{
    const uint64_t big = (uint64_t(5) << 30) + 7;
    struct Row {
        const char* header;
        uint64_t size;
        ByteRange::Kind kind;
        uint64_t first, count;
    } rows[] = {
        {"bytes=0-0", 10, ByteRange::Part, 0, 1},
        {" bytes=2-5", 10, ByteRange::Part, 2, 4},
        {"BYTES=2-5 ", 10, ByteRange::Part, 2, 4},
        {"bytes=7-", 10, ByteRange::Part, 7, 3},
        {"bytes=5-100", 10, ByteRange::Part, 5, 5},
        {"bytes=-3", 10, ByteRange::Part, 7, 3},
        {"bytes=-30", 10, ByteRange::Part, 0, 10},
        {"bytes=9-9", 10, ByteRange::Part, 9, 1},
        {"bytes=4294967296-", big, ByteRange::Part, 4294967296, big - 4294967296},
        {"bytes=-4", big, ByteRange::Part, big - 4, 4},
        // Nothing of the resource is in the range.
        {"bytes=10-", 10, ByteRange::Unsatisfiable, 0, 0},
        {"bytes=10-20", 10, ByteRange::Unsatisfiable, 0, 0},
        {"bytes=-0", 10, ByteRange::Unsatisfiable, 0, 0},
        {"bytes=0-", 0, ByteRange::Unsatisfiable, 0, 0},
        {"bytes=-5", 0, ByteRange::Unsatisfiable, 0, 0},
        // Not one well-formed range of bytes: the whole resource.
        {"bytes=1-2,4-5", 10, ByteRange::Whole, 0, 0},
        {"lines=1-2", 10, ByteRange::Whole, 0, 0},
        {"bytes=5-2", 10, ByteRange::Whole, 0, 0},
        {"bytes=a-2", 10, ByteRange::Whole, 0, 0},
        {"bytes=-", 10, ByteRange::Whole, 0, 0},
        {"bytes=1", 10, ByteRange::Whole, 0, 0},
        {"bytes=+1-2", 10, ByteRange::Whole, 0, 0},
        {"bytes=99999999999999999999-", 10, ByteRange::Whole, 0, 0},
        {"bytes", 10, ByteRange::Whole, 0, 0},
        {"", 10, ByteRange::Whole, 0, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string("\"") + row.header + "\" of " + std::to_string(row.size));
        ByteRange range = ChooseByteRange(row.header, row.size);
        EXPECT_EQ(range.kind, row.kind);
        if (row.kind == ByteRange::Part) {
            EXPECT_EQ(range.first, row.first);
            EXPECT_EQ(range.count, row.count);
        }
    }
}

#pragma once

// The one byte range a GET's Range header asks for, in standard answers.

#include <cstdint>
#include <optional>
#include <string>

struct ByteRange {
    enum Kind {
        Whole,         // no usable Range: the whole resource is answered
        Part,          // bytes first .. first + count - 1
        Unsatisfiable, // no byte of the resource is in the range
    };
    Kind kind = Whole;
    uint64_t first = 0;
    uint64_t count = 0;
};

// The range `header` (a Range header's value, blanks around it allowed) asks of a
// resource of `size` bytes. Only a single "bytes=" range is honoured ("a-b", "a-",
// "-n"); a header of several ranges, another unit, or one that does not parse is
// ignored (Whole), as a server may.
ByteRange ChooseByteRange(const std::string& header, uint64_t size);

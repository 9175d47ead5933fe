#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

// Every limit the daemon puts on one client, in one place. The daemon serves one
// connection at a time, so each of these is also how long one slow or hostile
// client can keep every other client waiting.
struct ConnectionLimits {
    // The request line and all header lines must have arrived this long after the
    // accept, however slowly they trickle in.
    std::chrono::milliseconds requestHead{10000};
    // A head (request line and header lines) larger than either of these is refused
    // with 431 and read no further, so that no head can make memory grow.
    size_t headLines = 256;
    size_t headBytes = 64 * 1024;
    // A body or an answer that does not move at all for this long ends the
    // connection ...
    std::chrono::milliseconds stall{30000};
    // ... as does one that moves fewer bytes than this a second, averaged over each
    // window of time spent waiting on the client.
    uint64_t minimumBytesPerSecond = 16 * 1024;
    std::chrono::milliseconds rateWindow{30000};
    // The largest PROPFIND or LOCK document held in memory; a larger one is refused.
    uint64_t documentBytes = 1024 * 1024;
};

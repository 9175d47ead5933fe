#pragma once

// Device file times (100 ns since 1601-01-01 UTC) and the host's time points. A
// device time the host clock cannot hold (before 1677 or after 2262) becomes the
// unset time point, never a wrapped one.

#include "pavrixwm/WinCE.h"

#include <chrono>
#include <cstdint>

inline constexpr int64_t kFileTimeTicksAtUnixEpoch = 116444736000000000LL;

inline std::chrono::system_clock::time_point TimePointFromFileTime(uint64_t ticks)
{
    int64_t signedTicks = static_cast<int64_t>(ticks);
    if (ticks > static_cast<uint64_t>(INT64_MAX))
        return {};
    int64_t sinceEpoch = signedTicks - kFileTimeTicksAtUnixEpoch;
    constexpr int64_t kLimit = INT64_MAX / 100;
    if (sinceEpoch > kLimit || sinceEpoch < -kLimit)
        return {};
    return std::chrono::system_clock::time_point(
        std::chrono::duration_cast<std::chrono::system_clock::duration>(std::chrono::nanoseconds(sinceEpoch * 100)));
}

inline uint64_t FileTimeFromTimePoint(std::chrono::system_clock::time_point time)
{
    auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(time.time_since_epoch()).count();
    return static_cast<uint64_t>(ns / 100 + kFileTimeTicksAtUnixEpoch);
}

inline uint64_t FileTimeTicks(const FILETIME& time)
{
    return (uint64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime;
}

inline FILETIME FileTimeOf(uint64_t ticks)
{
    return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

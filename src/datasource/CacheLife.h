#pragma once

#include <chrono>
#include <functional>

// How long what the daemon remembers of the device (the last file read, the last
// find, the last listing) may be answered from memory. The device's owner changes
// files on the device itself, where the daemon cannot see it; past this age the
// device is asked again, so such a change shows in the next answer after it.
inline constexpr std::chrono::duration<double> kCacheLife{3.0};

// The time by which a store's caches age: the steady clock, or in a test one it
// moves itself, so that a cache can be aged without waiting for it.
using CacheClock = std::function<std::chrono::steady_clock::time_point()>;
inline std::chrono::steady_clock::time_point SteadyNow() { return std::chrono::steady_clock::now(); }

#pragma once

#include <chrono>

// How long what the daemon remembers of the device (the last file read, the last
// find, the last listing) may be answered from memory. The device's owner changes
// files on the device itself, where the daemon cannot see it; past this age the
// device is asked again, so such a change shows in the next answer after it.
inline constexpr std::chrono::duration<double> kCacheLife{3.0};

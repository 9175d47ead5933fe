#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

namespace platform {

// Reads the descriptor to its end, going on after a signal, and hands each block
// read to `take`. False when the system refuses a read (errno tells why).
bool ReadToEnd(int fd, const std::function<void(const uint8_t* bytes, size_t count)>& take);

} // namespace platform

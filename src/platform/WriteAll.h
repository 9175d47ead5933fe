#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

// Writes every byte to the descriptor, going on after a short write or a signal.
// False when the system refuses a write (errno tells why).
bool WriteAll(int fd, const uint8_t* bytes, size_t count);

} // namespace platform

#pragma once

// Numbers in the device's byte order, least significant byte first, whatever the
// host's order is: read from and written to byte buffers one byte at a time, so
// no alignment is needed either.

#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <vector>

namespace platform {

template <typename T>
T ReadLE(const uint8_t* at)
{
    static_assert(std::is_unsigned_v<T>);
    T value = 0;
    for (size_t i = 0; i < sizeof(T); ++i)
        value = static_cast<T>(value | static_cast<T>(static_cast<T>(at[i]) << (8 * i)));
    return value;
}

template <typename T>
void WriteLE(uint8_t* at, T value)
{
    static_assert(std::is_unsigned_v<T>);
    for (size_t i = 0; i < sizeof(T); ++i)
        at[i] = static_cast<uint8_t>(value >> (8 * i));
}

template <typename T>
void AppendLE(std::vector<uint8_t>& out, T value)
{
    out.resize(out.size() + sizeof(T));
    WriteLE(out.data() + out.size() - sizeof(T), value);
}

inline uint16_t ReadLE16(const uint8_t* at) { return ReadLE<uint16_t>(at); }
inline uint32_t ReadLE32(const uint8_t* at) { return ReadLE<uint32_t>(at); }
inline void WriteLE16(uint8_t* at, uint16_t value) { WriteLE(at, value); }
inline void WriteLE32(uint8_t* at, uint32_t value) { WriteLE(at, value); }
inline void AppendLE16(std::vector<uint8_t>& out, uint16_t value) { AppendLE(out, value); }
inline void AppendLE32(std::vector<uint8_t>& out, uint32_t value) { AppendLE(out, value); }

} // namespace platform

#pragma once

// Whole-file read on a device: the size from a seek to the end, then one
// device read of that many bytes from the start. Also the 64-bit seeks that the
// whole read and a read in pieces share.

#include "pavrixwm/DeviceBackend.h"
#include "platform/ByteBuffer.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

// The size of the file open on `handle` (the position after a seek to its end),
// all 64 bits of it; none when the seek fails.
std::optional<uint64_t> SeekToEnd(DeviceBackend& rapi, HANDLE handle);
// Moves the file position to `offset` from the start; false when the seek fails.
bool SeekToOffset(DeviceBackend& rapi, HANDLE handle, uint64_t offset);

// readAll: the contents of the file open on `handle`, as many bytes as the one
// read returned. Null when a seek fails (0xFFFFFFFF with a non-zero last error),
// the file is too large for one read (4 GiB or more: the count would wrap), the
// buffer cannot be had, or the read fails. The file position is left wherever the
// read left it.
std::shared_ptr<platform::ByteBuffer> readAll(DeviceBackend& rapi, HANDLE handle);
// The second half of readAll, once SeekToEnd gave `size`: the seek back to the
// start and the one read.
std::shared_ptr<platform::ByteBuffer> ReadFromStart(DeviceBackend& rapi, HANDLE handle, uint64_t size);

#pragma once

// Whole-file read on a device session: the size from a seek to the end, then one
// device read of that many bytes from the start.

#include "pavrixwm/Rapi.h"
#include "platform/ByteBuffer.h"

#include <cstdint>
#include <memory>
#include <vector>

// readAll: the contents of the file open on `handle`, as many bytes as the one
// read returned. Null when a seek fails (0xFFFFFFFF with a non-zero last error),
// the buffer cannot be had, or the read fails. The file position is left wherever
// the read left it.
std::shared_ptr<platform::ByteBuffer> readAll(Rapi& rapi, HANDLE handle);

#pragma once

#include <cstdint>

// What became of a store operation. The HTTP status each is answered with is
// chosen in one place, by the WebDAV layer.
enum class StoreStatus : uint8_t {
    Done,        // read or looked up; removed, or nothing was there to remove
    Created,     // made, stored, moved or copied
    NotFound,    // no such resource
    Busy,        // another program holds the resource
    Exists,      // something stands where a folder was to be made
    Refused,     // cannot be made there (a folder on the way, across stores)
    NotRemoved,  // the removal failed
    NotMoved,    // the move failed, has no destination, or would replace one kept
    NotStored,   // an upload failed
    TooLarge,    // more than the store's file system holds
    NoSpace,     // more than the free space
    Unsupported, // the store makes no changes
};

#pragma once

// The file handles of one session of an emulated device, and the changes that
// depend on what is open: a file open through any handle of the device is neither
// deleted nor moved. Handles follow the Win32 sharing rules among all sessions of
// the device (they share one OpenFileTable); the session's own handles are closed
// when it ends. Each call answers 0 or the Win32 code it fails with.

#include "pavrixwm/DeviceFileTree.h"
#include "pavrixwm/OpenFileTable.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class DeviceFileHandles {
public:
    DeviceFileHandles(const DeviceFileTree& tree, std::shared_ptr<OpenFileTable> table);
    ~DeviceFileHandles();
    DeviceFileHandles(const DeviceFileHandles&) = delete;
    DeviceFileHandles& operator=(const DeviceFileHandles&) = delete;

    DWORD create(const std::string& path, DWORD access, DWORD sharing, DWORD disposition, HANDLE& handle);
    // Up to `count` bytes at the file position, stopping early only at the end of the file.
    DWORD read(HANDLE handle, uint8_t* buffer, DWORD count, DWORD& moved);
    // Every one of `count` bytes at the file position unless the write fails.
    DWORD write(HANDLE handle, const uint8_t* buffer, DWORD count, DWORD& moved);
    // Moves the file position by `distance` from the start, the position or the end.
    DWORD seek(HANDLE handle, int64_t distance, DWORD method, int64_t& position);
    DWORD close(HANDLE handle);
    // Sets the times of a file open for writing; a null time stays. The host keeps
    // no settable creation time, so that one is taken and dropped.
    DWORD setTimes(HANDLE handle, const FILETIME* creation, const FILETIME* access, const FILETIME* write);

    DWORD deleteFile(const std::string& path);
    DWORD move(const std::string& from, const std::string& to);
    // Copies a file through two handles of this session, so the sharing rules hold
    // for both ends; a copy that fails after the target was opened removes it.
    DWORD copy(const std::string& from, const std::string& to, bool failIfExists);

    // A whole file, as the device-side library reads it: open for reading like any
    // other handle, so the sharing rules apply to it too.
    std::optional<std::vector<uint8_t>> readWhole(const std::string& path, DWORD& error);
    // Creates or replaces a whole file, as the device-side library writes it.
    DWORD writeWhole(const std::string& path, const std::vector<uint8_t>& data);

private:
    DWORD open(const DeviceFileTree::Resolved& r, DWORD access, DWORD sharing, DWORD disposition, HANDLE& handle);
    template <class Step>
    DWORD transfer(HANDLE handle, DWORD access, bool hasBuffer, DWORD count, DWORD& moved, Step step);

    const DeviceFileTree& tree_;
    std::shared_ptr<OpenFileTable> table_;
    SessionId session_;
};

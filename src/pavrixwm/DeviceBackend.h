#pragma once

// One attached Windows CE device, reached by the RAPI calls of the same names.
// EmulatedDevice is the implementation over a device directory, LinkDevice the
// handheld on a USB link, NoDevice the stand-in while none is attached; layers
// over a device (the Rapi session, the call trace) derive from
// DeviceBackendWrapper. Every call is synchronous and follows Win32
// conventions: a failing call sets the code that CeGetLastError gives, a
// succeeding call leaves it as it was.

#include "pavrixwm/RapiFindData.h"
#include "pavrixwm/RegistryValue.h"
#include "pavrixwm/WinCE.h"

#include <algorithm>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

class DeviceBackend {
public:
    virtual ~DeviceBackend() = default;

    // The device's description: at least "DeviceClass" ("PocketPC" unless the
    // device says otherwise). Never fails.
    virtual std::map<std::string, std::string> description() = 0;

    // Finds the entries matching `path` (one exact path, or a folder followed by a
    // backslash and a pattern such as "*"), in name order, fields chosen by `flags`.
    // TRUE with the entries (possibly none); FALSE with findData empty when the exact path
    // (2) or the folder (3) is missing.
    virtual BOOL CeFindAllFiles(const std::string& path, DWORD flags, std::vector<RapiFindData>& findData) = 0;

    // Opens or creates a file; a new handle.
    // INVALID_HANDLE_VALUE on failure (a folder: 5, held by another: 32, missing: 2 or 3,
    // CREATE_NEW over a file: 80, a name the device cannot store: 123).
    virtual HANDLE CeCreateFile(const std::string& path, DWORD desiredAccess, DWORD sharingMode,
                                DWORD creationDisposition, DWORD flagsAndAttributes) = 0;
    // Reads up to bytesToRead bytes at the file position; bytesRead says how many (0 at the end).
    // FALSE on a bad handle (6) or a handle not opened for reading (5).
    virtual BOOL CeReadFile(HANDLE handle, uint8_t* buffer, DWORD bytesToRead, DWORD& bytesRead) = 0;
    // Writes the bytes at the file position; bytesWritten says how many were taken.
    // FALSE on a bad handle (6), a handle not opened for writing (5), a full store (112).
    virtual BOOL CeWriteFile(HANDLE handle, const uint8_t* buffer, DWORD bytesToWrite, DWORD& bytesWritten) = 0;
    // Moves the file position (the high part, when given, extends the distance to 64 bits
    // and receives the new position's high half); the new position's low half.
    // INVALID_SET_FILE_POINTER with a code on failure (6, 87, 131 before the start).
    virtual DWORD CeSetFilePointer(HANDLE handle, LONG distanceToMove, LONG* distanceToMoveHigh,
                                   DWORD moveMethod) = 0;
    // Closes a file handle.
    // FALSE on a handle that is not open (6).
    virtual BOOL CeCloseHandle(HANDLE handle) = 0;
    // Sets the times of a file open for writing; a null time is left as it was.
    // FALSE on a bad handle (6) or a handle not opened for writing (5).
    virtual BOOL CeSetFileTime(HANDLE handle, const FILETIME* creationTime, const FILETIME* lastAccessTime,
                               const FILETIME* lastWriteTime) = 0;
    // The code of the last call that failed; 0 before any failure.
    // Never fails and never changes the code.
    virtual DWORD CeGetLastError() = 0;

    // Deletes a file.
    // FALSE when missing (2, 3), a folder (5), or open or held (32).
    virtual BOOL CeDeleteFile(const std::string& path) = 0;
    // Removes an empty folder.
    // FALSE when missing (2, 3), not a folder (267), not empty (145), the root (5).
    virtual BOOL CeRemoveDirectory(const std::string& path) = 0;
    // Makes a folder whose parent exists.
    // FALSE when the name exists (183), the parent is missing (3), the name is invalid (123).
    virtual BOOL CeCreateDirectory(const std::string& path) = 0;
    // Renames or moves a file or folder; never replaces an existing one.
    // FALSE when the source is missing (2, 3), held (32), the target exists (183).
    virtual BOOL CeMoveFile(const std::string& existingFileName, const std::string& newFileName) = 0;
    // Copies a file on the device itself, so that no byte crosses the link; with
    // failIfExists an existing target is never replaced. A copy that fails midway
    // leaves no target behind.
    // FALSE when the source is missing (2, 3), a folder (5) or held (32), the target
    // exists and failIfExists (80), the store is full (112).
    virtual BOOL CeCopyFile(const std::string& existingFileName, const std::string& newFileName,
                            BOOL failIfExists) = 0;

    // Size and free bytes of the main store, each clipped to 32 bits.
    // FALSE (fields zero) when the device cannot tell.
    virtual BOOL CeGetStoreInformation(STORE_INFORMATION& storeInformation) = 0;
    // Storage-card space: word 0 the number of cards, words 1 and 2 the total bytes
    // (high, low), words 3 and 4 the free bytes (high, low). FALSE (words zero) on failure.
    virtual BOOL GetSpaceOnCards(uint32_t words[5]) = 0;

    // Opens an existing key below a root or an open key; 0 and the key's handle.
    // ERROR_FILE_NOT_FOUND (2) when absent, ERROR_INVALID_HANDLE (6) for a bad root.
    virtual LONG CeRegOpenKeyEx(HKEY root, const std::string& subKey, HKEY& result) = 0;
    // Opens a key, creating it and its missing parents; 0, the handle and, when asked,
    // REG_CREATED_NEW_KEY or REG_OPENED_EXISTING_KEY. An error code on failure.
    virtual LONG CeRegCreateKeyEx(HKEY root, const std::string& subKey, const std::optional<std::string>& keyClass,
                                  HKEY& result, DWORD* disposition) = 0;
    // Reads a value of an open key (names matched without regard to case); 0 and the value.
    // ERROR_FILE_NOT_FOUND (2) when absent (value left empty), 6 for a bad key.
    virtual LONG CeRegQueryValueEx(HKEY key, const std::string& valueName, std::optional<RegistryValue>& value) = 0;
    // Stores a value under an open key, kept across sessions; 0 on success.
    // 6 for a bad key, another code when the registry cannot be written.
    virtual LONG CeRegSetValueEx(HKEY key, const std::string& valueName, const RegistryValue& value) = 0;
    // Closes an open key.
    // ERROR_INVALID_HANDLE (6) for a key that is not open.
    virtual LONG CeRegCloseKey(HKEY key) = 0;

    // Runs `functionName` of the device-side library `dll` with the input block; 0 on
    // success, else an error code. When both out pointers are given, the reply block is
    // handed out in *output (its length in *outputCount) and must come back through
    // CeRapiFreeBuffer; with null out pointers no reply is made.
    virtual int32_t CeRapiInvoke(const std::string& dll, const std::string& functionName, DWORD inputCount,
                                 const uint8_t* input, DWORD* outputCount, uint8_t** output) = 0;
    // Takes back a reply block handed out by CeRapiInvoke; null is ignored.
    // Never fails.
    virtual void CeRapiFreeBuffer(uint8_t* buffer) = 0;
};

// GetSpaceOnCards' words for cards of `total` bytes with `free` of them free (no
// card when `total` is 0).
inline void CardSpaceWords(uint32_t words[5], uint64_t total, uint64_t free)
{
    words[0] = total > 0 ? 1 : 0;
    words[1] = static_cast<uint32_t>(total >> 32);
    words[2] = static_cast<uint32_t>(total);
    words[3] = static_cast<uint32_t>(free >> 32);
    words[4] = static_cast<uint32_t>(free);
}

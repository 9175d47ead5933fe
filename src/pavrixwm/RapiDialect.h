#pragma once

// The two remote-call dialects and the command id of each call in each. The older
// one (Windows CE up to 5.0) frames every reply with a flag word (1: an HRESULT
// follows) and sends text as 1, characters, data; the newer one (Windows Mobile 5
// and later) has no reply flag and sends text as a byte count and the bytes.

#include <cstdint>
#include <optional>

enum class RapiDialect : uint8_t { Rapi1, Rapi2 };

enum class RapiCall : uint8_t {
    FindAllFiles,
    CreateFile,
    ReadFile,
    WriteFile,
    SetFilePointer,
    CloseHandle,
    SetFileTime,
    DeleteFile,
    RemoveDirectory,
    CreateDirectory,
    MoveFile,
    CopyFile,
    GetStoreInformation,
    GetDiskFreeSpaceEx,
    RegOpenKeyEx,
    RegCreateKeyEx,
    RegQueryValueEx,
    RegSetValueEx,
    RegCloseKey,
    RapiInvoke,
};

// A call the dialect has no known layout for.
inline constexpr uint32_t kNoRapiCommand = 0xFFFFFFFF;

struct RapiCommandIds {
    RapiCall call;
    uint32_t rapi1;
    uint32_t rapi2;
};

inline constexpr RapiCommandIds kRapiCommands[] = {
    {RapiCall::FindAllFiles, 0x09, 0x1A},
    {RapiCall::CreateFile, 0x05, 0x16},
    {RapiCall::ReadFile, 0x06, 0x17},
    {RapiCall::WriteFile, 0x07, 0x18},
    {RapiCall::SetFilePointer, 0x15, 0x26},
    {RapiCall::CloseHandle, 0x08, 0x19},
    // The older dialect's layouts for these two are not known.
    {RapiCall::SetFileTime, kNoRapiCommand, 0x42},
    {RapiCall::DeleteFile, 0x1C, 0x2D},
    {RapiCall::RemoveDirectory, 0x18, 0x29},
    {RapiCall::CreateDirectory, 0x17, 0x28},
    {RapiCall::MoveFile, 0x1A, 0x2B},
    {RapiCall::CopyFile, 0x1B, 0x2C},
    {RapiCall::GetStoreInformation, 0x29, 0x39},
    {RapiCall::GetDiskFreeSpaceEx, kNoRapiCommand, 0x5C},
    {RapiCall::RegOpenKeyEx, 0x1E, 0x2F},
    {RapiCall::RegCreateKeyEx, 0x20, 0x31},
    {RapiCall::RegQueryValueEx, 0x26, 0x37},
    {RapiCall::RegSetValueEx, 0x27, 0x38},
    {RapiCall::RegCloseKey, 0x21, 0x32},
    {RapiCall::RapiInvoke, 0x45, 0x4C},
};

constexpr uint32_t RapiCommandId(RapiDialect dialect, RapiCall call)
{
    for (const auto& ids : kRapiCommands)
        if (ids.call == call)
            return dialect == RapiDialect::Rapi1 ? ids.rapi1 : ids.rapi2;
    return kNoRapiCommand;
}

constexpr std::optional<RapiCall> RapiCallFor(RapiDialect dialect, uint32_t id)
{
    if (id == kNoRapiCommand)
        return std::nullopt;
    for (const auto& ids : kRapiCommands)
        if ((dialect == RapiDialect::Rapi1 ? ids.rapi1 : ids.rapi2) == id)
            return ids.call;
    return std::nullopt;
}

// Registry value types as the device stores them.
inline constexpr uint32_t REG_SZ = 1;
inline constexpr uint32_t REG_BINARY = 3;
inline constexpr uint32_t REG_DWORD = 4;

// The newest handhelds (OS 5.1 and later, as the link's peers choose it) speak the
// newer dialect; 5.0 and older the older one.
constexpr RapiDialect DialectForVersion(uint32_t major, uint32_t minor)
{
    return (major > 4 && minor > 0) ? RapiDialect::Rapi2 : RapiDialect::Rapi1;
}

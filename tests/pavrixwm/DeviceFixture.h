#pragma once

// An emulated device directory for one test, and small helpers over a session.

#include "pavrixwm/EmulatedDevice.h"
#include "pavrixwm/Rapi.h"
#include "platform/PlistObject.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

namespace devicetest {

class DeviceDir {
public:
    DeviceDir() { testsupport::MakeDirs(temp_ / "fs"); }
    const std::string& path() const { return temp_.path(); }
    std::string operator/(const std::string& relative) const { return temp_ / relative; }
    // Host path of a file under fs/ ("a/b.txt").
    std::string fs(const std::string& relative = "") const { return temp_ / ("fs/" + relative); }
    void mkdir(const std::string& relative) const { testsupport::MakeDirs(fs(relative)); }
    void put(const std::string& relative, const std::string& content) const
    {
        mkdir(relative.substr(0, relative.find_last_of('/') + 1));
        testsupport::WriteFile(fs(relative), content);
    }
    std::string read(const std::string& relative) const { return testsupport::ReadFile(fs(relative)); }
    bool exists(const std::string& relative) const { return testsupport::PathExists(fs(relative)); }
    void setDevicePlist(const platform::PlistObject& settings) const { settings.writeAtomically(temp_ / "device.plist"); }
    std::shared_ptr<EmulatedDevice> device() const { return EmulatedDevice::open(path()); }
    std::unique_ptr<Rapi> session() const { return std::make_unique<Rapi>(device()); }

private:
    testsupport::TempDir temp_;
};

inline std::vector<uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

inline std::string ReadWhole(Rapi& rapi, HANDLE handle)
{
    std::string out;
    uint8_t buffer[4096];
    for (DWORD got = 0; rapi.CeReadFile(handle, buffer, sizeof buffer, got) && got > 0;)
        out.append(reinterpret_cast<char*>(buffer), got);
    return out;
}

// Whether the file opens (it is closed again at once).
inline bool Opens(Rapi& rapi, const std::string& path, DWORD access, DWORD share, DWORD disposition)
{
    HANDLE h = rapi.CeCreateFile(path, access, share, disposition, FILE_ATTRIBUTE_NORMAL);
    return h != INVALID_HANDLE_VALUE && rapi.CeCloseHandle(h);
}

inline std::vector<std::string> Names(const std::vector<RapiFindData>& entries)
{
    std::vector<std::string> names;
    for (const auto& entry : entries)
        names.push_back(entry.filename);
    return names;
}

} // namespace devicetest

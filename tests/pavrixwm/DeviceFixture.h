#pragma once

// An emulated device directory for one test, and small helpers over a session.

#include "pavrixwm/EmulatedDevice.h"
#include "pavrixwm/Rapi.h"
#include "platform/PlistObject.h"
#include "support/TestSupport.h"

#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace devicetest {

class DeviceDir {
public:
    DeviceDir() { testsupport::MakeDirs(temp_ / "fs"); }
    const std::string& path() const { return temp_.path(); }
    // Host path of a file under fs/ ("a/b.txt").
    std::string fs(const std::string& relative = "") const { return temp_.path() + "/fs" + (relative.empty() ? "" : "/" + relative); }
    std::string operator/(const std::string& relative) const { return temp_ / relative; }

    void put(const std::string& relative, const std::string& content) const
    {
        auto slash = relative.find_last_of('/');
        if (slash != std::string::npos)
            testsupport::MakeDirs(fs(relative.substr(0, slash)));
        testsupport::WriteFile(fs(relative), content);
    }
    void mkdir(const std::string& relative) const { testsupport::MakeDirs(fs(relative)); }
    std::string read(const std::string& relative) const { return testsupport::ReadFile(fs(relative)); }
    bool exists(const std::string& relative) const { return testsupport::PathExists(fs(relative)); }

    void setDevicePlist(const platform::PlistObject& settings) const { settings.writeAtomically(temp_ / "device.plist"); }

    std::shared_ptr<EmulatedDevice> device() const { return EmulatedDevice::open(path()); }
    std::unique_ptr<Rapi> session() const { return std::make_unique<Rapi>(device()); }

private:
    testsupport::TempDir temp_;
};

// Sets an environment variable for one scope (none removes it).
class ScopedEnv {
public:
    ScopedEnv(const char* name, std::optional<std::string> value) : name_(name)
    {
        if (const char* old = std::getenv(name))
            previous_ = old;
        if (value)
            ::setenv(name, value->c_str(), 1);
        else
            ::unsetenv(name);
    }
    ~ScopedEnv()
    {
        if (previous_)
            ::setenv(name_, previous_->c_str(), 1);
        else
            ::unsetenv(name_);
    }

private:
    const char* name_;
    std::optional<std::string> previous_;
};

inline std::string ReadWhole(Rapi& rapi, HANDLE handle)
{
    std::string out;
    uint8_t buffer[4096];
    for (;;) {
        DWORD got = 0;
        if (!rapi.CeReadFile(handle, buffer, sizeof buffer, got) || got == 0)
            break;
        out.append(reinterpret_cast<char*>(buffer), got);
    }
    return out;
}

inline BOOL WriteText(Rapi& rapi, HANDLE handle, const std::string& text, DWORD& written)
{
    return rapi.CeWriteFile(handle, reinterpret_cast<const uint8_t*>(text.data()), static_cast<DWORD>(text.size()), written);
}

inline std::vector<std::string> Names(const std::vector<RapiFindData>& entries)
{
    std::vector<std::string> names;
    for (const auto& entry : entries)
        names.push_back(entry.filename);
    return names;
}

} // namespace devicetest

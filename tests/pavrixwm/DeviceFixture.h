#pragma once

// An emulated device folder for one test, sessions over it, small helpers over a
// session, and the link's in-process side over a simulated handheld.

#include "pavrixwm/EmulatedDevice.h"
#include "pavrixwm/LinkDevice.h"
#include "pavrixwm/LinkManager.h"
#include "pavrixwm/Rapi.h"
#include "support/SimulatedHandheld.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

namespace devicetest {
using namespace testsupport;

struct DeviceDir : DeviceFolder {
    std::unique_ptr<Rapi> session() const { return std::make_unique<Rapi>(EmulatedDevice::open(path())); }
};

inline std::vector<uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

// The whole file; its last error in angle brackets when it does not open.
inline std::string ReadWhole(DeviceBackend& device, const std::string& path)
{
    HANDLE handle = device.CeCreateFile(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, 0);
    if (handle == INVALID_HANDLE_VALUE)
        return "<" + std::to_string(device.CeGetLastError()) + ">";
    std::string out;
    uint8_t buffer[4096];
    for (DWORD got = 0; device.CeReadFile(handle, buffer, sizeof buffer, got) && got > 0;)
        out.append(reinterpret_cast<char*>(buffer), got);
    device.CeCloseHandle(handle);
    return out;
}

// Whether the device lists its root; the last error when it does not.
inline DWORD ListRoot(DeviceBackend& device)
{
    std::vector<RapiFindData> found;
    return device.CeFindAllFiles("\\*", FAF_NAME, found) ? 0 : device.CeGetLastError();
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

// The names a find of `path` gives.
inline std::vector<std::string> Found(Rapi& rapi, const std::string& path)
{
    std::vector<RapiFindData> entries;
    rapi.CeFindAllFiles(path, FAF_NAME, entries);
    return Names(entries);
}

// A link manager started on the handheld's link; none when the options name no link.
inline std::shared_ptr<LinkManager> Manager(const SimulatedHandheld& handheld,
                                            const std::optional<std::string>& password = std::nullopt,
                                            const std::optional<std::string>& runtimeFolder = std::nullopt)
{
    auto settings = LinkSettings::fromOptions(handheld.linkOptions(runtimeFolder), std::nullopt, password);
    return settings ? LinkManager::start(*settings) : nullptr;
}

inline bool Attached(LinkManager& link, std::chrono::milliseconds timeout = std::chrono::seconds(10))
{
    return WaitFor([&] { return link.state() == LinkManager::State::Attached; }, timeout);
}

} // namespace devicetest

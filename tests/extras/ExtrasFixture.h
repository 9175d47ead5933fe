#pragma once

// An emulated device folder for one test, and a session over it through a device
// wrapper that injects faults and also notes what the extras asked of the device:
// the blocks they invoked with, the registry keys and values they touched.

#include "pavrixwm/EmulatedDevice.h"
#include "pavrixwm/FaultInjectingDevice.h"
#include "pavrixwm/Rapi.h"
#include "platform/PlistObject.h"
#include "support/TestSupport.h"

#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace extrastest {

using Bytes = std::vector<uint8_t>;

class DeviceFolder {
public:
    DeviceFolder() { testsupport::MakeDirs(temp_ / "fs"); }
    const std::string& path() const { return temp_.path(); }
    std::string operator/(const std::string& relative) const { return temp_ / relative; }
    std::string fs(const std::string& relative) const { return temp_ / ("fs/" + relative); }

    void setDeviceClass(const std::string& deviceClass) const
    {
        auto settings = platform::PlistObject::loadDictionary(temp_ / "device.plist")
                            .value_or(platform::PlistObject::dictionary());
        settings.set("DeviceClass", platform::PlistObject::string(deviceClass));
        settings.writeAtomically(temp_ / "device.plist");
    }
    void setProcessExitCode(uint32_t process, int64_t exitCode) const
    {
        auto settings = platform::PlistObject::loadDictionary(temp_ / "device.plist")
                            .value_or(platform::PlistObject::dictionary());
        auto processes = settings.get("Processes").value_or(platform::PlistObject::dictionary());
        processes.set(std::to_string(process), platform::PlistObject::integer(exitCode));
        settings.set("Processes", processes);
        settings.writeAtomically(temp_ / "device.plist");
    }

private:
    testsupport::TempDir temp_;
};

// The device wrapper: everything FaultInjectingDevice does, plus a record of what
// passed through, and a switch that makes key opens and creates "succeed" with the
// all-ones handle no real device hands out.
class ObservedDevice : public FaultInjectingDevice {
public:
    struct Invocation {
        std::string dll;
        std::string function;
        Bytes input;
        bool replyAsked = false;
        bool packetLoggingOn = false;
    };

    using FaultInjectingDevice::FaultInjectingDevice;

    // The session whose packet-read logging is noted at each invocation.
    void observeSession(const Rapi* session) { session_ = session; }
    void answerAllOnesHandles(bool on) { allOnesHandles_ = on; }

    std::vector<Invocation> invocations;
    std::vector<std::string> keysOpened;     // paths given to CeRegOpenKeyEx
    std::vector<std::string> keysCreated;    // paths given to CeRegCreateKeyEx
    std::vector<std::string> valuesQueried;  // value names, in order
    std::vector<std::string> valuesSet;      // value names, in order
    std::vector<HKEY> keysClosed;

    int32_t CeRapiInvoke(const std::string& dll, const std::string& functionName, DWORD inputCount,
                         const uint8_t* input, DWORD* outputCount, uint8_t** output) override
    {
        Invocation call{dll, functionName, Bytes(input, input + (input ? inputCount : 0)), outputCount && output,
                        session_ && session_->readPacketLogging()};
        invocations.push_back(call);
        return FaultInjectingDevice::CeRapiInvoke(dll, functionName, inputCount, input, outputCount, output);
    }
    LONG CeRegOpenKeyEx(HKEY root, const std::string& subKey, HKEY& result) override
    {
        keysOpened.push_back(subKey);
        if (allOnesHandles_) {
            result = 0xFFFFFFFF;
            return 0;
        }
        return FaultInjectingDevice::CeRegOpenKeyEx(root, subKey, result);
    }
    LONG CeRegCreateKeyEx(HKEY root, const std::string& subKey, const std::optional<std::string>& keyClass,
                          HKEY& result, DWORD* disposition) override
    {
        keysCreated.push_back(subKey);
        if (allOnesHandles_) {
            result = 0xFFFFFFFF;
            return 0;
        }
        return FaultInjectingDevice::CeRegCreateKeyEx(root, subKey, keyClass, result, disposition);
    }
    LONG CeRegQueryValueEx(HKEY key, const std::string& valueName, std::optional<RegistryValue>& value) override
    {
        valuesQueried.push_back(valueName);
        return FaultInjectingDevice::CeRegQueryValueEx(key, valueName, value);
    }
    LONG CeRegSetValueEx(HKEY key, const std::string& valueName, const RegistryValue& value) override
    {
        valuesSet.push_back(valueName);
        return FaultInjectingDevice::CeRegSetValueEx(key, valueName, value);
    }
    LONG CeRegCloseKey(HKEY key) override
    {
        keysClosed.push_back(key);
        return FaultInjectingDevice::CeRegCloseKey(key);
    }

    // Forgets what was noted so far (the faults stay).
    void forget()
    {
        invocations.clear();
        keysOpened.clear();
        keysCreated.clear();
        valuesQueried.clear();
        valuesSet.clear();
        keysClosed.clear();
    }

private:
    const Rapi* session_ = nullptr;
    bool allOnesHandles_ = false;
};

// A session over the device in `folder`, seen through an ObservedDevice.
struct ObservedSession {
    explicit ObservedSession(const DeviceFolder& folder)
        : device(std::make_shared<ObservedDevice>(EmulatedDevice::open(folder.path()))), rapi(device)
    {
        rapi.setTracePath(std::nullopt);
        device->observeSession(&rapi);
    }
    std::shared_ptr<ObservedDevice> device;
    Rapi rapi;
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
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    const char* name_;
    std::optional<std::string> previous_;
};

inline Bytes LE32(uint32_t value) { return {uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16), uint8_t(value >> 24)}; }

inline Bytes Concat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const auto& part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}

inline Bytes BytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }

} // namespace extrastest

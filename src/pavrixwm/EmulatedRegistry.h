#pragma once

// The registry of an emulated device, kept in a property-list file that is made on
// the first write and read again on every call, so that it survives the session
// and a test or tool may prepare it by hand. The file holds one dictionary per
// root ("HKEY_CURRENT_USER", "HKEY_LOCAL_MACHINE", ...), mapping each key's full
// path (backslash-separated, spelled as first created) to a dictionary of its
// values: integers, strings and raw bytes. Key paths and value names are matched
// without regard to letter case. The calls follow the RAPI registry calls
// (DeviceBackend); the caller serialises them.

#include "pavrixwm/RegistryValue.h"
#include "pavrixwm/WinCE.h"
#include "platform/PlistObject.h"

#include <map>
#include <optional>
#include <string>

class EmulatedRegistry {
public:
    explicit EmulatedRegistry(std::string plistPath);

    LONG openKey(HKEY root, const std::string& subKey, HKEY& result);
    LONG createKey(HKEY root, const std::string& subKey, HKEY& result, DWORD* disposition);
    LONG queryValue(HKEY key, const std::string& valueName, std::optional<RegistryValue>& value);
    LONG setValue(HKEY key, const std::string& valueName, const RegistryValue& value);
    LONG closeKey(HKEY key);

private:
    struct OpenKey {
        std::string root; // "HKEY_LOCAL_MACHINE", ...
        std::string path; // as stored; "" for the root itself
    };
    platform::PlistObject load() const;
    // The key a handle stands for: a predefined root or an open key.
    std::optional<OpenKey> keyOf(HKEY handle) const;
    HKEY remember(OpenKey key);

    std::string plistPath_;
    std::map<HKEY, OpenKey> keys_;
    HKEY nextKey_;
};

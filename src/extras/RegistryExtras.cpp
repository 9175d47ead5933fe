#include "extras/RegistryExtras.h"

#include "pavrixwm/CeWCHAR.h"
#include "pavrixwm/RapiBase.h"
#include "platform/LittleEndian.h"
#include "platform/UTF16.h"

#include <new>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

namespace {

constexpr const char* kOwnerKey = "ControlPanel\\Owner";
constexpr const char* kPartnersKey = "SOFTWARE\\Microsoft\\Windows CE Services\\Partners";
constexpr const char* kPartner1Key = "SOFTWARE\\Microsoft\\Windows CE Services\\Partners\\P1";
constexpr const char* kPartner2Key = "SOFTWARE\\Microsoft\\Windows CE Services\\Partners\\P2";
constexpr const char* kHostsKeyFormat = "Comm\\Tcpip\\Hosts\\%@";
constexpr const char* kInstallerKey = "SOFTWARE\\Apps\\Microsoft Application Installer";

// A key handle no device hands out: a call that "succeeds" with it has opened nothing.
constexpr HKEY kUnusableKey = 0xFFFFFFFF;

const char* PartnerKey(int32_t firstPartner) { return firstPartner ? kPartner1Key : kPartner2Key; }

// Reads one value of one key under HKEY_LOCAL_MACHINE; none when the key cannot be
// opened or the value is missing. An opened key is closed whatever the query said.
std::optional<RegistryValue> ReadMachineValue(Rapi& rapi, const char* keyPath, const char* valueName)
{
    HKEY key = kUnusableKey;
    if (rapi.CeRegOpenKeyEx(HKEY_LOCAL_MACHINE, keyPath, key) != 0 || key == kUnusableKey)
        return std::nullopt;
    std::optional<RegistryValue> value;
    LONG code = rapi.CeRegQueryValueEx(key, valueName, value);
    rapi.CeRegCloseKey(key);
    if (code != 0)
        return std::nullopt;
    return value;
}

// Creates (or opens) a key under HKEY_LOCAL_MACHINE and lets `write` set its values;
// the key is closed afterwards, its close result ignored. A device that answers
// success with an unusable handle has nothing to write to: that counts as done.
template <typename Write>
int32_t WriteMachineKey(Rapi& rapi, const std::string& keyPath, Write write)
{
    HKEY key = kUnusableKey;
    LONG code = rapi.CeRegCreateKeyEx(HKEY_LOCAL_MACHINE, keyPath, std::nullopt, key, nullptr);
    if (code != 0)
        return code;
    if (key == kUnusableKey)
        return 0;
    code = write(key);
    rapi.CeRegCloseKey(key);
    return code;
}

// The number a value object holds; none for text or bytes.
std::optional<int64_t> NumberOf(const std::optional<RegistryValue>& value)
{
    if (!value)
        return std::nullopt;
    if (const auto* number = std::get_if<int64_t>(&*value))
        return *number;
    return std::nullopt;
}

// A value as the raw bytes the device keeps for it: bytes as they are, a string as
// its UTF-16LE units and zero unit, a number as its 32 bits least significant first.
std::vector<uint8_t> RawBytesOf(const RegistryValue& value)
{
    return std::visit(
        [](const auto& held) -> std::vector<uint8_t> {
            using T = std::decay_t<decltype(held)>;
            if constexpr (std::is_same_v<T, std::vector<uint8_t>>) {
                return held;
            } else if constexpr (std::is_same_v<T, std::string>) {
                return Utf8ToDeviceText(held);
            } else {
                std::vector<uint8_t> bits;
                platform::AppendLE32(bits, static_cast<uint32_t>(held));
                return bits;
            }
        },
        value);
}

// The owner's name at the start of the owner record: its UTF-16LE units up to the
// first zero unit, or up to the record's end. None when the record starts with a
// zero unit (or holds less than one unit).
std::optional<std::string> NameFromOwnerRecord(const std::vector<uint8_t>& record)
{
    auto units = DeviceTextUnits(record.data(), record.size());
    if (units.empty())
        return std::nullopt;
    // The record is typed in on the device and may hold a stray surrogate; it
    // becomes U+FFFD rather than costing the name.
    return *platform::UTF16ToUTF8(units, platform::UTF16Invalid::Replace);
}

} // namespace

std::optional<std::string> ownerName(Rapi& rapi)
{
    HKEY key = kUnusableKey;
    if (rapi.CeRegOpenKeyEx(HKEY_CURRENT_USER, kOwnerKey, key) != 0)
        return std::nullopt;

    std::optional<std::string> name;
    std::optional<RegistryValue> owner;
    if (rapi.CeRegQueryValueEx(key, "Owner", owner) == 0 && owner) {
        // The record was there: its answer stands, even when it holds no name.
        try {
            name = NameFromOwnerRecord(RawBytesOf(*owner));
        } catch (const std::bad_alloc&) {
            name.reset();
        }
    } else {
        std::optional<RegistryValue> fallback;
        if (rapi.CeRegQueryValueEx(key, "Name", fallback) == 0 && fallback) {
            // A name is text; a "Name" of another kind names nobody.
            if (const auto* text = std::get_if<std::string>(&*fallback))
                name = *text;
        }
    }
    rapi.CeRegCloseKey(key);
    return name;
}

std::optional<RegistryValue> partnerName(Rapi& rapi, int32_t firstPartner)
{
    return ReadMachineValue(rapi, PartnerKey(firstPartner), "PName");
}

uint32_t partnerID(Rapi& rapi, int32_t firstPartner)
{
    auto number = NumberOf(ReadMachineValue(rapi, PartnerKey(firstPartner), "PId"));
    return number ? static_cast<uint32_t>(*number) : 0;
}

int32_t currentPartner(Rapi& rapi)
{
    auto number = NumberOf(ReadMachineValue(rapi, kPartnersKey, "PCur"));
    return number ? static_cast<int32_t>(*number) : 0;
}

int32_t setPartner(Rapi& rapi, const RegistryValue& name, const RegistryValue& partnerID, int32_t firstPartner)
{
    return WriteMachineKey(rapi, PartnerKey(firstPartner), [&](HKEY key) {
        // A name without its id would describe a partnership the desktop cannot match.
        LONG code = rapi.CeRegSetValueEx(key, "PId", partnerID);
        if (code == 0)
            code = rapi.CeRegSetValueEx(key, "PName", name);
        return code;
    });
}

int32_t setCurrentPartner(Rapi& rapi, uint32_t partner)
{
    return WriteMachineKey(rapi, kPartnersKey, [&](HKEY key) {
        return rapi.CeRegSetValueEx(key, "PCur", RegistryValue(int64_t(static_cast<int32_t>(partner))));
    });
}

int32_t setHostname(Rapi& rapi, const std::string& hostname, int64_t ipAddress)
{
    std::string_view format = kHostsKeyFormat;
    size_t slot = format.find("%@");
    std::string keyPath = std::string(format.substr(0, slot)) + hostname + std::string(format.substr(slot + 2));
    std::vector<uint8_t> record;
    platform::AppendLE32(record, static_cast<uint32_t>(ipAddress));
    return WriteMachineKey(rapi, keyPath,
                           [&](HKEY key) { return rapi.CeRegSetValueEx(key, "ipaddr", RegistryValue(record)); });
}

int32_t setInstallAskForDestinationKey(Rapi& rapi, int32_t flag)
{
    // The flag arrives as a one-byte boolean widened by the caller: the bits above
    // the low byte are not part of it.
    bool askForDestination = (flag & 0xFF) != 0;
    return WriteMachineKey(rapi, kInstallerKey, [&](HKEY key) {
        return rapi.CeRegSetValueEx(key, "fAskDest", RegistryValue(int64_t(askForDestination ? 1 : 0)));
    });
}

int32_t isSmartphone(Rapi& rapi)
{
    auto devices = rapi.availableDevices();
    if (!devices || devices->empty())
        return 0;
    const auto& first = devices->front();
    auto deviceClass = first.find("DeviceClass");
    return deviceClass != first.end() && deviceClass->second == "SmartPhone" ? 1 : 0;
}

// The registry extras against the emulated device's registry: the owner record and
// its fallback, which partnership a flag names, the host address and installer
// switch as the device keeps them, and the smartphone test.

#include "ExtrasFixture.h"
#include "extras/RegistryExtras.h"

#include <gtest/gtest.h>

using namespace extrastest;

constexpr const char* kOwnerKey = "ControlPanel\\Owner";
constexpr const char* kP1Key = "SOFTWARE\\Microsoft\\Windows CE Services\\Partners\\P1";
constexpr const char* kP2Key = "SOFTWARE\\Microsoft\\Windows CE Services\\Partners\\P2";
constexpr const char* kInstallerKey = "SOFTWARE\\Apps\\Microsoft Application Installer";

// A value as the device keeps it (none when missing), read straight through the
// session; with `store`, that value is written first, as another program would.
static std::optional<RegistryValue> Value(Rapi& rapi, const char* keyPath, const char* name,
                                          std::optional<RegistryValue> store = {}, HKEY root = HKEY_LOCAL_MACHINE)
{
    HKEY key = 0;
    std::optional<RegistryValue> value;
    if (rapi.CeRegCreateKeyEx(root, keyPath, std::nullopt, key, nullptr) != 0)
        return value;
    if (store)
        rapi.CeRegSetValueEx(key, name, *store);
    rapi.CeRegQueryValueEx(key, name, value);
    rapi.CeRegCloseKey(key);
    return value;
}

TEST(RegistryExtras, OwnerNameIsTheRecordUpToItsFirstZeroUnitElseTheNameText)
{
    struct Case {
        const char* what;
        std::optional<RegistryValue> owner; // none: no "Owner" value
        std::optional<std::string> name;
    };
    const Case cases[] = {
        {"zero unit, then more bytes", LE16({'A', 'n', 'n', 0, 'X', 'Y'}), "Ann"},
        {"no zero unit: the whole record", LE16({'B', 'o', 'b'}), "Bob"},
        {"an odd last byte is half a unit", Bytes{'B', 0, 'o', 0, 'x'}, "Bo"},
        {"non-ASCII and a surrogate pair", LE16({'Z', 0xEB, 0xD83D, 0xDE00, 0, 'Q'}), "Z\xC3\xAB\xF0\x9F\x98\x80"},
        {"a zero first unit names nobody, with no fallback", LE16({0, 'C', 'a', 'l'}), std::nullopt},
        {"no record: the Name text", std::nullopt, "Fallback"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        DeviceSession s;
        if (c.owner)
            Value(s.rapi, kOwnerKey, "Owner", c.owner, HKEY_CURRENT_USER);
        Value(s.rapi, kOwnerKey, "Name", std::string("Fallback"), HKEY_CURRENT_USER);
        EXPECT_EQ(ownerName(s.rapi), c.name);
    }
}

TEST(RegistryExtras, AnyNonZeroFlagNamesPartnershipOneAndZeroNamesTwo)
{
    DeviceSession s;
    const RegistryValue one = std::string("Desk One"), two = Bytes{1, 2, 3};
    EXPECT_EQ(setPartner(s.rapi, one, int64_t(0xFFFFFFF0), 9), 0);
    EXPECT_EQ(setPartner(s.rapi, two, int64_t(42), 0), 0);
    EXPECT_EQ(Value(s.rapi, kP1Key, "PName"), one);
    EXPECT_EQ(Value(s.rapi, kP2Key, "PId"), RegistryValue(int64_t(42)));
    for (int32_t flag : {1, -1, 0x100, 0}) {
        EXPECT_EQ(partnerName(s.rapi, flag), flag ? one : two) << flag;
        EXPECT_EQ(partnerID(s.rapi, flag), flag ? 0xFFFFFFF0u : 42u) << flag;
    }
    EXPECT_EQ(setCurrentPartner(s.rapi, 0xFFFFFFFF), 0);
    EXPECT_EQ(currentPartner(s.rapi), -1);

    // The name is written only after the id went through.
    s.device->failCall(FaultInjectingDevice::Call::RegSetValueEx, ERROR_ACCESS_DENIED, 1);
    EXPECT_EQ(setPartner(s.rapi, std::string("Intruder"), int64_t(5), 1), int32_t(ERROR_ACCESS_DENIED));
    EXPECT_EQ(Value(s.rapi, kP1Key, "PName"), one);
}

TEST(RegistryExtras, HostAddressIsFourBytesAndOnlyTheInstallerFlagsLowByteCounts)
{
    DeviceSession s;
    // Least significant byte first; only the low 32 bits are an address.
    const std::pair<int64_t, Bytes> addresses[] = {
        {0xC0A80001, {0x01, 0x00, 0xA8, 0xC0}}, {-2, {0xFE, 0xFF, 0xFF, 0xFF}}, {0x100000005, {5, 0, 0, 0}}};
    for (const auto& [address, record] : addresses) {
        EXPECT_EQ(setHostname(s.rapi, "desk-pc", address), 0);
        EXPECT_EQ(Value(s.rapi, "Comm\\Tcpip\\Hosts\\desk-pc", "ipaddr"), RegistryValue(record)) << address;
    }
    const std::pair<int32_t, int64_t> flags[] = {{0, 0}, {1, 1}, {255, 1}, {256, 0}, {257, 1}, {-256, 0}, {-1, 1}};
    for (const auto& [flag, stored] : flags) {
        EXPECT_EQ(setInstallAskForDestinationKey(s.rapi, flag), 0);
        EXPECT_EQ(Value(s.rapi, kInstallerKey, "fAskDest"), RegistryValue(stored)) << flag;
    }
}

TEST(RegistryExtras, IsSmartphoneAsksTheListedDeviceForExactlySmartPhone)
{
    const std::pair<const char*, int32_t> cases[] = {
        {"SmartPhone", 1}, {"Smartphone", 0}, {"SMARTPHONE", 0}, {"SmartPhone ", 0}, {"PocketPC", 0}, {"", 0}};
    for (const auto& [deviceClass, expected] : cases) {
        SCOPED_TRACE(deviceClass);
        DeviceSession listed(deviceClass);
        EXPECT_EQ(isSmartphone(listed.rapi), expected);
        EXPECT_TRUE(listed.device->invocations.empty()) << "the list is no device call";
    }
    Rapi unattached(nullptr);
    EXPECT_FALSE(unattached.availableDevices());
    EXPECT_EQ(isSmartphone(unattached), 0) << "no device listed";
}

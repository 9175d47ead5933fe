// The device registry kept in registry.plist.

#include "DeviceFixture.h"

#include <gtest/gtest.h>

using namespace devicetest;
using platform::PlistObject;

namespace {

const char* kPartners = "SOFTWARE\\Microsoft\\Windows CE Services\\Partners";

TEST(DeviceRegistry, ValuesOfEachKindRoundTripAndSurviveANewSession)
{
    DeviceDir dir;
    EXPECT_FALSE(testsupport::PathExists(dir / "registry.plist"));
    {
        auto rapi = dir.session();
        HKEY key = 0;
        DWORD disposition = 0;
        ASSERT_EQ(rapi->CeRegCreateKeyEx(HKEY_LOCAL_MACHINE, std::string(kPartners) + "\\P1", std::nullopt, key, &disposition), 0);
        EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
        EXPECT_TRUE(testsupport::PathExists(dir / "registry.plist"));
        EXPECT_EQ(rapi->CeRegSetValueEx(key, "PId", RegistryValue(int64_t(0xDEADBEEF))), 0);
        EXPECT_EQ(rapi->CeRegSetValueEx(key, "PName", RegistryValue(std::string("Desk \xC3\xA9"))), 0);
        EXPECT_EQ(rapi->CeRegSetValueEx(key, "ipaddr", RegistryValue(std::vector<uint8_t>{10, 0, 0, 1})), 0);
        EXPECT_EQ(rapi->CeRegSetValueEx(key, "Negative", RegistryValue(int64_t(-1))), 0);
        EXPECT_EQ(rapi->CeRegSetValueEx(key, "Flag", RegistryValue(int64_t(true))), 0);
        EXPECT_EQ(rapi->CeRegCloseKey(key), 0);
    }
    auto rapi = dir.session(); // a new device object reads what the first one wrote
    HKEY key = 0;
    ASSERT_EQ(rapi->CeRegOpenKeyEx(HKEY_LOCAL_MACHINE, std::string(kPartners) + "\\p1", key), 0);
    struct Case {
        const char* name;
        RegistryValue expected;
    };
    const std::vector<Case> cases = {
        {"PId", RegistryValue(int64_t(0xDEADBEEF))},
        {"pid", RegistryValue(int64_t(0xDEADBEEF))}, // value names ignore case too
        {"PName", RegistryValue(std::string("Desk \xC3\xA9"))},
        {"IPADDR", RegistryValue(std::vector<uint8_t>{10, 0, 0, 1})},
        {"Negative", RegistryValue(int64_t(0xFFFFFFFF))}, // the device keeps 32 bits
        {"Flag", RegistryValue(int64_t(1))},
    };
    for (const auto& c : cases) {
        std::optional<RegistryValue> value;
        EXPECT_EQ(rapi->CeRegQueryValueEx(key, c.name, value), 0) << c.name;
        ASSERT_TRUE(value) << c.name;
        EXPECT_EQ(*value, c.expected) << c.name;
    }
    std::optional<RegistryValue> value;
    EXPECT_EQ(rapi->CeRegQueryValueEx(key, "Missing", value), LONG(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(value);

    // Rewriting a value under another spelling replaces it rather than adding one.
    EXPECT_EQ(rapi->CeRegSetValueEx(key, "PNAME", RegistryValue(std::string("Other"))), 0);
    auto registry = PlistObject::loadDictionary(dir / "registry.plist");
    ASSERT_TRUE(registry);
    auto values = registry->get("HKEY_LOCAL_MACHINE")->get(std::string(kPartners) + "\\P1");
    ASSERT_TRUE(values);
    EXPECT_EQ(values->getString("PName"), "Other");
    EXPECT_FALSE(values->get("PNAME"));
    rapi->CeRegCloseKey(key);
}

TEST(DeviceRegistry, KeysOpenWithoutRegardToCaseAndParentsComeWithChildren)
{
    DeviceDir dir;
    auto rapi = dir.session();
    HKEY key = 0;
    DWORD disposition = 0;
    EXPECT_EQ(rapi->CeRegOpenKeyEx(HKEY_LOCAL_MACHINE, "Comm\\Tcpip\\Hosts\\pc", key), LONG(ERROR_FILE_NOT_FOUND));
    ASSERT_EQ(rapi->CeRegCreateKeyEx(HKEY_LOCAL_MACHINE, "Comm\\Tcpip\\Hosts\\pc", std::nullopt, key, nullptr), 0);
    rapi->CeRegCloseKey(key);
    ASSERT_EQ(rapi->CeRegCreateKeyEx(HKEY_LOCAL_MACHINE, "COMM\\TCPIP\\HOSTS\\PC", std::nullopt, key, &disposition), 0);
    EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
    rapi->CeRegCloseKey(key);
    for (const char* path : {"comm", "Comm\\TCPIP", "\\Comm\\Tcpip\\Hosts\\", "comm\\tcpip\\hosts\\PC"}) {
        EXPECT_EQ(rapi->CeRegOpenKeyEx(HKEY_LOCAL_MACHINE, path, key), 0) << path;
        rapi->CeRegCloseKey(key);
    }
    // Each root is its own tree.
    EXPECT_EQ(rapi->CeRegOpenKeyEx(HKEY_CURRENT_USER, "Comm", key), LONG(ERROR_FILE_NOT_FOUND));

    // A key opened below another open key.
    HKEY comm = 0, hosts = 0;
    ASSERT_EQ(rapi->CeRegOpenKeyEx(HKEY_LOCAL_MACHINE, "Comm", comm), 0);
    ASSERT_EQ(rapi->CeRegOpenKeyEx(comm, "tcpip\\hosts", hosts), 0);
    EXPECT_EQ(rapi->CeRegSetValueEx(hosts, "x", RegistryValue(int64_t(3))), 0);
    std::optional<RegistryValue> value;
    HKEY again = 0;
    ASSERT_EQ(rapi->CeRegOpenKeyEx(HKEY_LOCAL_MACHINE, "Comm\\Tcpip\\Hosts", again), 0);
    EXPECT_EQ(rapi->CeRegQueryValueEx(again, "X", value), 0);
    EXPECT_EQ(value, RegistryValue(int64_t(3)));
    for (HKEY k : {comm, hosts, again})
        EXPECT_EQ(rapi->CeRegCloseKey(k), 0);
}

TEST(DeviceRegistry, BadHandlesAndRoots)
{
    DeviceDir dir;
    auto rapi = dir.session();
    HKEY key = 0;
    std::optional<RegistryValue> value;
    EXPECT_EQ(rapi->CeRegOpenKeyEx(0x12345678, "x", key), LONG(ERROR_INVALID_HANDLE));
    EXPECT_EQ(rapi->CeRegCreateKeyEx(0x12345678, "x", std::nullopt, key, nullptr), LONG(ERROR_INVALID_HANDLE));
    ASSERT_EQ(rapi->CeRegCreateKeyEx(HKEY_CURRENT_USER, "ControlPanel\\Owner", std::nullopt, key, nullptr), 0);
    EXPECT_EQ(rapi->CeRegCloseKey(key), 0);
    EXPECT_EQ(rapi->CeRegCloseKey(key), LONG(ERROR_INVALID_HANDLE));
    EXPECT_EQ(rapi->CeRegQueryValueEx(key, "Owner", value), LONG(ERROR_INVALID_HANDLE));
    EXPECT_EQ(rapi->CeRegSetValueEx(key, "Owner", RegistryValue(std::string("x"))), LONG(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(value);
    // Key handles are never the all-ones value and are not reused while open.
    HKEY a = 0, b = 0;
    ASSERT_EQ(rapi->CeRegOpenKeyEx(HKEY_CURRENT_USER, "ControlPanel", a), 0);
    ASSERT_EQ(rapi->CeRegOpenKeyEx(HKEY_CURRENT_USER, "ControlPanel", b), 0);
    EXPECT_NE(a, b);
    EXPECT_NE(a, 0xFFFFFFFFu);
}

TEST(DeviceRegistry, ReadsARegistryFileWrittenByHand)
{
    DeviceDir dir;
    // The layout a test or a tool writes to give the device a registry before it starts.
    auto owner = PlistObject::dictionary();
    owner.set("Owner", PlistObject::data({'A', 0, 'n', 0, 'n', 0, 0, 0, 'x', 0}));
    owner.set("Name", PlistObject::string("Ann"));
    auto user = PlistObject::dictionary();
    user.set("ControlPanel\\Owner", owner);
    auto registry = PlistObject::dictionary();
    registry.set("HKEY_CURRENT_USER", user);
    ASSERT_TRUE(registry.writeAtomically(dir / "registry.plist"));

    auto rapi = dir.session();
    HKEY key = 0;
    ASSERT_EQ(rapi->CeRegOpenKeyEx(HKEY_CURRENT_USER, "controlpanel\\owner", key), 0);
    std::optional<RegistryValue> value;
    ASSERT_EQ(rapi->CeRegQueryValueEx(key, "Owner", value), 0);
    EXPECT_EQ(value, RegistryValue(std::vector<uint8_t>{'A', 0, 'n', 0, 'n', 0, 0, 0, 'x', 0}));
    ASSERT_EQ(rapi->CeRegQueryValueEx(key, "Name", value), 0);
    EXPECT_EQ(value, RegistryValue(std::string("Ann")));
    rapi->CeRegCloseKey(key);
}

} // namespace

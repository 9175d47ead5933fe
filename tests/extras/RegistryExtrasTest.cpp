// The registry extras against the emulated device: which keys and values they
// touch, the owner record, the partnership flag, the host address record, the
// installer switch, and that every key opened is closed again.

#include "ExtrasFixture.h"
#include "extras/RegistryExtras.h"

#include <gtest/gtest.h>

using namespace extrastest;

namespace {

constexpr const char* kOwnerKey = "ControlPanel\\Owner";
constexpr const char* kPartnersKey = "SOFTWARE\\Microsoft\\Windows CE Services\\Partners";
constexpr const char* kP1Key = "SOFTWARE\\Microsoft\\Windows CE Services\\Partners\\P1";
constexpr const char* kP2Key = "SOFTWARE\\Microsoft\\Windows CE Services\\Partners\\P2";
constexpr const char* kInstallerKey = "SOFTWARE\\Apps\\Microsoft Application Installer";

// Stores one value straight through the session, as another program of the device would.
void Store(Rapi& rapi, HKEY root, const std::string& keyPath, const std::string& name, const RegistryValue& value)
{
    HKEY key = 0;
    ASSERT_EQ(rapi.CeRegCreateKeyEx(root, keyPath, std::nullopt, key, nullptr), 0);
    ASSERT_EQ(rapi.CeRegSetValueEx(key, name, value), 0);
    rapi.CeRegCloseKey(key);
}

// The value as the device keeps it, read through a fresh session over the same
// folder (what another session would see); none when the key or value is missing.
std::optional<RegistryValue> Stored(const DeviceFolder& folder, HKEY root, const std::string& keyPath,
                                    const std::string& name)
{
    Rapi rapi(EmulatedDevice::open(folder.path()));
    HKEY key = 0;
    if (rapi.CeRegOpenKeyEx(root, keyPath, key) != 0)
        return std::nullopt;
    std::optional<RegistryValue> value;
    rapi.CeRegQueryValueEx(key, name, value);
    rapi.CeRegCloseKey(key);
    return value;
}

Bytes Utf16(std::initializer_list<uint16_t> units)
{
    Bytes out;
    for (uint16_t unit : units) {
        out.push_back(uint8_t(unit));
        out.push_back(uint8_t(unit >> 8));
    }
    return out;
}

using Names = std::vector<std::string>;

TEST(OwnerName, TakesTheUnitsOfTheOwnerRecordUpToTheFirstZeroUnit)
{
    struct Case {
        const char* what;
        Bytes record;
        std::optional<std::string> name;
    };
    const Case cases[] = {
        {"zero unit, then more bytes", Concat({Utf16({'A', 'n', 'n', 0, 'X', 'Y'}), Bytes{0x7F}}), "Ann"},
        {"no zero unit: the whole record", Utf16({'B', 'o', 'b'}), "Bob"},
        {"an odd last byte is half a unit", Concat({Utf16({'B', 'o', 'b'}), Bytes{'x'}}), "Bob"},
        {"non-ASCII and a surrogate pair", Utf16({'Z', 'o', 0x00EB, 0xD83D, 0xDE00, 0}), "Zo\xC3\xAB\xF0\x9F\x98\x80"},
        {"a stray surrogate", Utf16({0xDC00, 'A'}), "\xEF\xBF\xBD" "A"},
        {"first two bytes zero", Utf16({0, 'C', 'a', 'l'}), std::nullopt},
        {"a single zero byte", Bytes{0}, std::nullopt},
        {"an empty record", Bytes{}, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        DeviceFolder folder;
        ObservedSession session(folder);
        Store(session.rapi, HKEY_CURRENT_USER, kOwnerKey, "Owner", c.record);
        // "Name" is only the fallback for a missing record: it must never win here.
        Store(session.rapi, HKEY_CURRENT_USER, kOwnerKey, "Name", std::string("Fallback"));
        session.device->forget();

        EXPECT_EQ(ownerName(session.rapi), c.name);
        EXPECT_EQ(session.device->valuesQueried, Names{"Owner"});
        EXPECT_EQ(session.device->keysOpened, Names{kOwnerKey});
        EXPECT_EQ(session.device->keysClosed.size(), 1u);
    }
}

TEST(OwnerName, FallsBackToNameOnlyWhenTheOwnerRecordCannotBeRead)
{
    {
        SCOPED_TRACE("no Owner value, a Name text");
        DeviceFolder folder;
        ObservedSession session(folder);
        Store(session.rapi, HKEY_CURRENT_USER, kOwnerKey, "Name", std::string("Jane Roe"));
        session.device->forget();
        EXPECT_EQ(ownerName(session.rapi), std::optional<std::string>("Jane Roe"));
        EXPECT_EQ(session.device->valuesQueried, (Names{"Owner", "Name"}));
        EXPECT_EQ(session.device->keysClosed.size(), 1u);
    }
    {
        SCOPED_TRACE("the Owner query fails on the wire");
        DeviceFolder folder;
        ObservedSession session(folder);
        Store(session.rapi, HKEY_CURRENT_USER, kOwnerKey, "Owner", Utf16({'O', 0}));
        Store(session.rapi, HKEY_CURRENT_USER, kOwnerKey, "Name", std::string("Jane"));
        session.device->failCall(FaultInjectingDevice::Call::RegQueryValueEx, ERROR_GEN_FAILURE, 1);
        EXPECT_EQ(ownerName(session.rapi), std::optional<std::string>("Jane"));
    }
    {
        SCOPED_TRACE("an Owner string value is read as the bytes the device keeps");
        DeviceFolder folder;
        ObservedSession session(folder);
        Store(session.rapi, HKEY_CURRENT_USER, kOwnerKey, "Owner", std::string("Text Owner"));
        Store(session.rapi, HKEY_CURRENT_USER, kOwnerKey, "Name", std::string("Jane"));
        EXPECT_EQ(ownerName(session.rapi), std::optional<std::string>("Text Owner"));
    }
    {
        SCOPED_TRACE("neither value");
        DeviceFolder folder;
        ObservedSession session(folder);
        Store(session.rapi, HKEY_CURRENT_USER, kOwnerKey, "Other", int64_t(1));
        session.device->forget();
        EXPECT_EQ(ownerName(session.rapi), std::nullopt);
        EXPECT_EQ(session.device->valuesQueried, (Names{"Owner", "Name"}));
        EXPECT_EQ(session.device->keysClosed.size(), 1u);
    }
    {
        SCOPED_TRACE("no key: nothing to close");
        DeviceFolder folder;
        ObservedSession session(folder);
        EXPECT_EQ(ownerName(session.rapi), std::nullopt);
        EXPECT_TRUE(session.device->valuesQueried.empty());
        EXPECT_TRUE(session.device->keysClosed.empty());
    }
}

class Partnerships : public ::testing::Test {
protected:
    void SetUp() override
    {
        Store(session.rapi, HKEY_LOCAL_MACHINE, kP1Key, "PName", std::string("Desk One"));
        Store(session.rapi, HKEY_LOCAL_MACHINE, kP1Key, "PId", int64_t(0xFFFFFFF0));
        Store(session.rapi, HKEY_LOCAL_MACHINE, kP2Key, "PName", std::string("Desk Two"));
        Store(session.rapi, HKEY_LOCAL_MACHINE, kP2Key, "PId", int64_t(42));
        Store(session.rapi, HKEY_LOCAL_MACHINE, kPartnersKey, "PCur", int64_t(2));
        session.device->forget();
    }

    DeviceFolder folder;
    ObservedSession session{folder};
};

TEST_F(Partnerships, AnyNonZeroFlagReadsPartnershipOneAndZeroReadsTwo)
{
    struct Case {
        int32_t flag;
        const char* key;
        const char* name;
        uint32_t id;
    };
    const Case cases[] = {
        {1, kP1Key, "Desk One", 0xFFFFFFF0},
        {7, kP1Key, "Desk One", 0xFFFFFFF0},
        {-1, kP1Key, "Desk One", 0xFFFFFFF0},
        {0x100, kP1Key, "Desk One", 0xFFFFFFF0},
        {0, kP2Key, "Desk Two", 42},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.flag);
        session.device->forget();
        EXPECT_EQ(partnerName(session.rapi, c.flag), std::optional<RegistryValue>(std::string(c.name)));
        EXPECT_EQ(partnerID(session.rapi, c.flag), c.id);
        EXPECT_EQ(session.device->keysOpened, (Names{c.key, c.key}));
        EXPECT_EQ(session.device->valuesQueried, (Names{"PName", "PId"}));
        EXPECT_EQ(session.device->keysClosed.size(), 2u);
    }
    EXPECT_EQ(currentPartner(session.rapi), 2);
}

TEST(PartnerReaders, GiveNilOrZeroForWhatIsMissingAndCloseWhatTheyOpened)
{
    // The current partnership's key exists, its value does not.
    DeviceFolder bare;
    ObservedSession empty(bare);
    Store(empty.rapi, HKEY_LOCAL_MACHINE, kPartnersKey, "Other", int64_t(5));
    empty.device->forget();

    EXPECT_EQ(currentPartner(empty.rapi), 0);
    EXPECT_EQ(empty.device->keysClosed.size(), 1u);

    // No P1 or P2 key at all: nothing opened, nothing to close.
    empty.device->forget();
    EXPECT_EQ(partnerID(empty.rapi, 0), 0u);
    EXPECT_EQ(partnerName(empty.rapi, 0), std::nullopt);
    EXPECT_EQ(partnerID(empty.rapi, 1), 0u);
    EXPECT_TRUE(empty.device->valuesQueried.empty());
    EXPECT_TRUE(empty.device->keysClosed.empty());

    // A value of the wrong kind is no number.
    Store(empty.rapi, HKEY_LOCAL_MACHINE, kP2Key, "PId", std::string("42"));
    EXPECT_EQ(partnerID(empty.rapi, 0), 0u);
}

TEST_F(Partnerships, SetPartnerWritesTheIdThenTheNameUnderTheChosenKey)
{
    DeviceFolder fresh;
    ObservedSession s(fresh);
    EXPECT_EQ(setPartner(s.rapi, std::string("Laptop"), int64_t(0x12345678), 9), 0);
    EXPECT_EQ(s.device->keysCreated, Names{kP1Key});
    EXPECT_EQ(s.device->valuesSet, (Names{"PId", "PName"}));
    EXPECT_EQ(s.device->keysClosed.size(), 1u);
    EXPECT_EQ(Stored(fresh, HKEY_LOCAL_MACHINE, kP1Key, "PName"), std::optional<RegistryValue>(std::string("Laptop")));
    EXPECT_EQ(Stored(fresh, HKEY_LOCAL_MACHINE, kP1Key, "PId"), std::optional<RegistryValue>(int64_t(0x12345678)));
    EXPECT_EQ(Stored(fresh, HKEY_LOCAL_MACHINE, kP2Key, "PName"), std::nullopt);

    EXPECT_EQ(setPartner(s.rapi, Bytes{1, 2, 3}, int64_t(7), 0), 0);
    EXPECT_EQ(partnerName(s.rapi, 0), std::optional<RegistryValue>(Bytes{1, 2, 3}));
    EXPECT_EQ(partnerID(s.rapi, 0), 7u);
}

TEST_F(Partnerships, AFailedIdWriteLeavesTheNameUnwritten)
{
    session.device->failCall(FaultInjectingDevice::Call::RegSetValueEx, ERROR_ACCESS_DENIED, 1);
    EXPECT_EQ(setPartner(session.rapi, std::string("Intruder"), int64_t(99), 0), int32_t(ERROR_ACCESS_DENIED));
    EXPECT_EQ(session.device->valuesSet, Names{"PId"});
    EXPECT_EQ(session.device->keysClosed.size(), 1u);
    EXPECT_EQ(partnerName(session.rapi, 0), std::optional<RegistryValue>(std::string("Desk Two")));
    EXPECT_EQ(partnerID(session.rapi, 0), 42u);

    // The name write failing after the id went through gives the name's code.
    session.device->clearFaults();
    session.device->forget();
    session.device->failCall(FaultInjectingDevice::Call::RegSetValueEx, ERROR_DISK_FULL, 1, 1);
    EXPECT_EQ(setPartner(session.rapi, std::string("Half"), int64_t(5), 0), int32_t(ERROR_DISK_FULL));
    EXPECT_EQ(session.device->valuesSet, (Names{"PId", "PName"}));
    EXPECT_EQ(partnerID(session.rapi, 0), 5u);
    EXPECT_EQ(partnerName(session.rapi, 0), std::optional<RegistryValue>(std::string("Desk Two")));
}

TEST_F(Partnerships, SetCurrentPartnerStoresASigned32BitNumber)
{
    EXPECT_EQ(setCurrentPartner(session.rapi, 1), 0);
    EXPECT_EQ(currentPartner(session.rapi), 1);
    EXPECT_EQ(session.device->keysCreated, Names{kPartnersKey});
    EXPECT_EQ(session.device->valuesSet, Names{"PCur"});
    EXPECT_EQ(setCurrentPartner(session.rapi, 0xFFFFFFFF), 0);
    EXPECT_EQ(currentPartner(session.rapi), -1);
}

TEST(HostEntry, TheAddressIsFourBytesLeastSignificantFirst)
{
    struct Case {
        int64_t address;
        Bytes record;
    };
    const Case cases[] = {
        {0xC0A80001, {0x01, 0x00, 0xA8, 0xC0}},
        {0x7F000001, {0x01, 0x00, 0x00, 0x7F}},
        {0, {0, 0, 0, 0}},
        {0xFFFFFFFF, {0xFF, 0xFF, 0xFF, 0xFF}},
        {-2, {0xFE, 0xFF, 0xFF, 0xFF}},
        {0x100000005, {0x05, 0x00, 0x00, 0x00}}, // only the low 32 bits are an address
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.address);
        DeviceFolder folder;
        ObservedSession session(folder);
        EXPECT_EQ(setHostname(session.rapi, "desk-pc", c.address), 0);
        EXPECT_EQ(session.device->keysCreated, Names{"Comm\\Tcpip\\Hosts\\desk-pc"});
        EXPECT_EQ(session.device->keysClosed.size(), 1u);
        EXPECT_EQ(Stored(folder, HKEY_LOCAL_MACHINE, "Comm\\Tcpip\\Hosts\\desk-pc", "ipaddr"),
                  std::optional<RegistryValue>(c.record));
    }
}

TEST(InstallerSwitch, OnlyTheLowByteOfTheFlagCounts)
{
    struct Case {
        int32_t flag;
        int64_t stored;
    };
    const Case cases[] = {{0, 0}, {1, 1}, {2, 1}, {255, 1}, {256, 0}, {257, 1}, {0x7FFFFF00, 0}, {-256, 0}, {-1, 1}};
    DeviceFolder folder;
    ObservedSession session(folder);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.flag);
        session.device->forget();
        EXPECT_EQ(setInstallAskForDestinationKey(session.rapi, c.flag), 0);
        EXPECT_EQ(session.device->keysCreated, Names{kInstallerKey});
        EXPECT_EQ(session.device->valuesSet, Names{"fAskDest"});
        EXPECT_EQ(Stored(folder, HKEY_LOCAL_MACHINE, kInstallerKey, "fAskDest"), std::optional<RegistryValue>(c.stored));
    }
}

// Every writer, for the tables below.
struct Writer {
    const char* what;
    int32_t (*write)(Rapi&);
};
const Writer kWriters[] = {
    {"setPartner", [](Rapi& r) { return setPartner(r, std::string("N"), int64_t(1), 1); }},
    {"setCurrentPartner", [](Rapi& r) { return setCurrentPartner(r, 1); }},
    {"setHostname", [](Rapi& r) { return setHostname(r, "h", 0x01020304); }},
    {"setInstallAskForDestinationKey", [](Rapi& r) { return setInstallAskForDestinationKey(r, 1); }},
};

TEST(RegistryWriters, PassTheSessionsCodesOnAndCloseWhatTheyCreated)
{
    for (const auto& writer : kWriters) {
        SCOPED_TRACE(writer.what);
        DeviceFolder folder;
        ObservedSession session(folder);

        session.device->failCall(FaultInjectingDevice::Call::RegCreateKeyEx, ERROR_ACCESS_DENIED, 1);
        EXPECT_EQ(writer.write(session.rapi), int32_t(ERROR_ACCESS_DENIED));
        EXPECT_TRUE(session.device->valuesSet.empty());
        EXPECT_TRUE(session.device->keysClosed.empty());

        session.device->forget();
        session.device->failCall(FaultInjectingDevice::Call::RegSetValueEx, ERROR_DISK_FULL, 1);
        EXPECT_EQ(writer.write(session.rapi), int32_t(ERROR_DISK_FULL));
        EXPECT_EQ(session.device->keysClosed.size(), 1u);

        // A failing close is no failure of the write.
        session.device->forget();
        session.device->failCall(FaultInjectingDevice::Call::RegCloseKey, ERROR_INVALID_HANDLE, 1);
        EXPECT_EQ(writer.write(session.rapi), 0);
    }
}

TEST(RegistryExtras, AnAllOnesHandleIsNeverUsed)
{
    DeviceFolder folder;
    ObservedSession session(folder);
    session.device->answerAllOnesHandles(true);

    EXPECT_EQ(partnerName(session.rapi, 1), std::nullopt);
    EXPECT_EQ(partnerID(session.rapi, 0), 0u);
    EXPECT_EQ(currentPartner(session.rapi), 0);
    for (const auto& writer : kWriters) {
        SCOPED_TRACE(writer.what);
        EXPECT_EQ(writer.write(session.rapi), 0);
    }
    EXPECT_TRUE(session.device->valuesQueried.empty());
    EXPECT_TRUE(session.device->valuesSet.empty());
    EXPECT_TRUE(session.device->keysClosed.empty());
    EXPECT_FALSE(testsupport::PathExists(folder / "registry.plist"));
}

TEST(RegistryExtras, WithoutADeviceReadersAreEmptyAndWritersReportIt)
{
    Rapi rapi(nullptr);
    rapi.setTracePath(std::nullopt);
    EXPECT_EQ(ownerName(rapi), std::nullopt);
    EXPECT_EQ(partnerName(rapi, 1), std::nullopt);
    EXPECT_EQ(partnerID(rapi, 1), 0u);
    EXPECT_EQ(currentPartner(rapi), 0);
    for (const auto& writer : kWriters) {
        SCOPED_TRACE(writer.what);
        EXPECT_EQ(writer.write(rapi), int32_t(ERROR_DEVICE_NOT_CONNECTED));
    }
}

TEST(RegistryExtras, ADeviceThatVanishesBetweenCalls)
{
    auto folder = std::make_unique<DeviceFolder>();
    std::string path = folder->path();
    ObservedSession session(*folder);
    ASSERT_EQ(setCurrentPartner(session.rapi, 1), 0);
    ASSERT_EQ(currentPartner(session.rapi), 1);
    Store(session.rapi, HKEY_CURRENT_USER, kOwnerKey, "Owner", Utf16({'M', 'e', 0}));
    ASSERT_EQ(ownerName(session.rapi), std::optional<std::string>("Me"));

    // The link drops: every call now fails on the wire.
    session.device->failCall(FaultInjectingDevice::Call::RegOpenKeyEx, ERROR_DEVICE_NOT_CONNECTED);
    session.device->failCall(FaultInjectingDevice::Call::RegCreateKeyEx, ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(currentPartner(session.rapi), 0);
    EXPECT_EQ(ownerName(session.rapi), std::nullopt);
    EXPECT_EQ(setCurrentPartner(session.rapi, 2), int32_t(ERROR_DEVICE_NOT_CONNECTED));
    session.device->clearFaults();

    // The device's storage goes away under the session.
    folder.reset();
    ASSERT_FALSE(testsupport::PathExists(path));
    EXPECT_EQ(currentPartner(session.rapi), 0);
    EXPECT_EQ(ownerName(session.rapi), std::nullopt);
    EXPECT_NE(setInstallAskForDestinationKey(session.rapi, 1), 0);
    EXPECT_FALSE(testsupport::PathExists(path));
}

TEST(IsSmartphone, AsksTheFirstListedDeviceForExactlySmartPhone)
{
    struct Case {
        std::optional<std::string> deviceClass; // none: no device.plist
        int32_t expected;
    };
    const Case cases[] = {
        {"SmartPhone", 1},   {"Smartphone", 0}, {"smartphone", 0}, {"SMARTPHONE", 0},
        {"SmartPhone ", 0},  {"PocketPC", 0},   {"", 0},           {std::nullopt, 0},
    };
    Rapi unattached(nullptr);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.deviceClass.value_or("(no settings)"));
        DeviceFolder folder;
        if (c.deviceClass)
            folder.setDeviceClass(*c.deviceClass);
        ScopedEnv device("PAVRIX_DEVICE", folder.path());
        EXPECT_EQ(isSmartphone(unattached), c.expected);
    }
}

TEST(IsSmartphone, NoListedDeviceIsNoSmartphoneAndTheSessionIsNotAsked)
{
    DeviceFolder smartphone;
    smartphone.setDeviceClass("SmartPhone");
    ObservedSession session(smartphone);
    {
        ScopedEnv device("PAVRIX_DEVICE", std::nullopt);
        EXPECT_EQ(isSmartphone(session.rapi), 0);
    }
    {
        testsupport::TempDir notADevice; // no fs/ folder
        ScopedEnv device("PAVRIX_DEVICE", notADevice.path());
        EXPECT_EQ(isSmartphone(session.rapi), 0);
    }
    {
        DeviceFolder pocketPC;
        ScopedEnv device("PAVRIX_DEVICE", pocketPC.path());
        EXPECT_EQ(isSmartphone(session.rapi), 0);
    }
    {
        ScopedEnv device("PAVRIX_DEVICE", smartphone.path());
        EXPECT_EQ(isSmartphone(session.rapi), 1);
    }
    EXPECT_TRUE(session.device->invocations.empty());
    EXPECT_TRUE(session.device->keysOpened.empty());
}

} // namespace

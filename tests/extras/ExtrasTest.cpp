// The extras against the emulated device: the calls into the device-side library
// (each input block byte for byte, and the reply rules that depend on more than the
// reply), the registry extras (the owner record and its fallback, which partnership
// a flag names, the host address and installer switch as the device keeps them, and
// the smartphone test), and the sync notifications to the monitor process on a
// private session bus.

#include "extras/DeviceLibraryExtras.h"
#include "extras/MonitorNotifications.h"
#include "extras/RegistryExtras.h"
#include "pavrixwm/EmulatedDevice.h"
#include "pavrixwm/Rapi.h"
#include "platform/PlistObject.h"
#include "support/FaultInjectingDevice.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <functional>
#include <tuple>

using platform::CalendarDate;
using namespace testsupport;

// A device folder for one test, and a session over it (its device is the one the
// session lists) through a wrapper that injects faults, counts the reply blocks it
// hands out and takes back, and records each library invocation.
using Bytes = std::vector<uint8_t>;

class RecordingDevice : public FaultInjectingDevice {
public:
    using FaultInjectingDevice::FaultInjectingDevice;
    std::vector<std::pair<std::string, Bytes>> invocations; // "library:function", input block

    int32_t CeRapiInvoke(const std::string& dll, const std::string& function, DWORD inputCount, const uint8_t* input,
                         DWORD* outputCount, uint8_t** output) override
    {
        invocations.emplace_back(dll + ":" + function, Bytes(input, input + (input ? inputCount : 0)));
        return FaultInjectingDevice::CeRapiInvoke(dll, function, inputCount, input, outputCount, output);
    }
};

struct DeviceSession {
    explicit DeviceSession(const std::string& deviceClass = "PocketPC")
    {
        auto settings = platform::PlistObject::dictionary();
        settings.set("DeviceClass", platform::PlistObject::string(deviceClass));
        settings.writeAtomically(folder / "device.plist");
    }
    testsupport::DeviceFolder folder;
    std::shared_ptr<RecordingDevice> device = std::make_shared<RecordingDevice>(EmulatedDevice::open(folder.path()));
    Rapi rapi{device};
};

// 16-bit units or fields, least significant byte first.
inline Bytes LE16(std::initializer_list<uint16_t> units)
{
    Bytes out;
    for (uint16_t unit : units)
        out.insert(out.end(), {uint8_t(unit), uint8_t(unit >> 8)});
    return out;
}

// A reply of `size` bytes that begins with `text`.
static Bytes Reply(std::string text, size_t size)
{
    text.resize(size, '\0');
    return Bytes(text.begin(), text.end());
}

TEST(DeviceLibraryExtras, InputBlocksByteForByte)
{
    const CalendarDate east = *CalendarDate::fromFields(2026, 12, 31, 23, 30, 0, 7200); // Thursday, 21:30 GMT
    // The calendar's ends: a Monday and a Friday, no year cut or wrapped.
    const CalendarDate first = *CalendarDate::fromFields(1601, 1, 1, 0, 0, 0, 0);
    const CalendarDate last = *CalendarDate::fromFields(9999, 12, 31, 23, 59, 59, 0);
    const std::tuple<const char*, std::function<int32_t(Rapi&)>, Bytes> cases[] = {
        // Three characters: six bytes of units and the zero unit.
        {"PXCeWMPAddToLibary", [](Rapi& r) { return wmpLibraryAddFiles(r, "a\xC3\xA9z"); }, LE16({'a', 0xE9, 'z', 0})},
        // The format 3, the path length 4, "A" and its zero unit, then the 5 data bytes.
        {"PXCeConvertToFile", [](Rapi& r) { return ConvertToFile(r, {0xD1, 0xD2, 0xD3, 0xD4, 0xD5}, 3, "A"); },
         {3, 0, 0, 0, 4, 0, 0, 0, 'A', 0, 0, 0, 0xD1, 0xD2, 0xD3, 0xD4, 0xD5}},
        {"PXCeConvertFromFile", [](Rapi& r) { std::optional<Bytes> o; return ConvertFromFile(r, "\\d", 0x0102, o); },
         {2, 1, 0, 0, '\\', 0, 'd', 0, 0, 0}},
        // The calendar fields in the date's own zone, the weekday, no milliseconds.
        {"PXCeSetSystemTime", [&](Rapi& r) { return SetSystemTime(r, east); }, LE16({2026, 12, 4, 31, 23, 30, 0, 0})},
        {"PXCeSetSystemTime", [&](Rapi& r) { return SetSystemTime(r, first); }, LE16({1601, 1, 1, 1, 0, 0, 0, 0})},
        {"PXCeSetSystemTime", [&](Rapi& r) { return SetSystemTime(r, last); }, LE16({9999, 12, 5, 31, 23, 59, 59, 0})},
        {"PXResetLoggingState", [](Rapi& r) { return resetLogging(r, -2); }, {0xFE, 0xFF, 0xFF, 0xFF}},
        {"PXCeGetExitCodeProcess", [](Rapi& r) { uint32_t exit = 0; return GetExitCodeProcess(r, 1234, exit); },
         {0xD2, 0x04, 0, 0}},
    };
    for (const auto& [function, call, block] : cases) {
        SCOPED_TRACE(function);
        DeviceSession s;
        s.device->replaceInvokeReply(function, 0, std::nullopt);
        EXPECT_EQ(call(s.rapi), 0);
        EXPECT_EQ(s.device->invocations, (std::vector{std::make_pair("pavrix:" + std::string(function), block)}));
    }
}

// The reply rules the fuzzed reply blocks cannot show: a smartphone's ink guessed
// from its class, and the version text copied up to its zero byte and never beyond
// its 40 bytes (a buffer filled with 0xAA beforehand shows which bytes were written).
TEST(DeviceLibraryExtras, InkGuessedFromTheClassAndVersionTextBounded)
{
    DeviceSession phone("SmartPhone");
    phone.device->replaceInvokeReply("PXCeHasRichInk", 0, Bytes(8, 1));
    int ink = -5;
    EXPECT_EQ(HasRichInk(phone.rapi, ink), 0);
    EXPECT_EQ(ink, 0);

    const std::string zero(1, '\0'), text40 = "111122223333" + std::string(40, 'v');
    const std::pair<std::string, std::string> cases[] = {
        {"1111222233332.5", "1111222233332.5" + zero + std::string(48, '\xAA')},
        {text40, text40 + std::string(12, '\xAA')},
    };
    for (const auto& [reply, written] : cases) {
        DeviceSession s;
        s.device->replaceInvokeReply("GetDLLVersion", 0, Reply(reply, 52));
        std::string out(sizeof(PAVRIX_DLL_VERSION) + 12, '\xAA'); // and a guard behind the record
        EXPECT_EQ(GetPavrixDLLVersion(s.rapi, *reinterpret_cast<PAVRIX_DLL_VERSION*>(out.data())), 0);
        EXPECT_EQ(out, written);
        EXPECT_EQ(s.device->outstandingReplyBlocks(), 0);
    }
}

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
    // what, the "Owner" value (none: no value), the name read
    const std::tuple<const char*, std::optional<RegistryValue>, std::optional<std::string>> cases[] = {
        {"zero unit, then more bytes", LE16({'A', 'n', 'n', 0, 'X', 'Y'}), "Ann"},
        {"no zero unit: the whole record", LE16({'B', 'o', 'b'}), "Bob"},
        {"an odd last byte is half a unit", Bytes{'B', 0, 'o', 0, 'x'}, "Bo"},
        {"non-ASCII and a surrogate pair", LE16({'Z', 0xEB, 0xD83D, 0xDE00, 0, 'Q'}), "Z\xC3\xAB\xF0\x9F\x98\x80"},
        {"a zero first unit names nobody, with no fallback", LE16({0, 'C', 'a', 'l'}), std::nullopt},
        {"no record: the Name text", std::nullopt, "Fallback"},
    };
    for (const auto& [what, owner, name] : cases) {
        SCOPED_TRACE(what);
        DeviceSession s;
        if (owner)
            Value(s.rapi, kOwnerKey, "Owner", owner, HKEY_CURRENT_USER);
        Value(s.rapi, kOwnerKey, "Name", std::string("Fallback"), HKEY_CURRENT_USER);
        EXPECT_EQ(ownerName(s.rapi), name);
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
    EXPECT_EQ(isSmartphone(unattached), 0) << "no device listed";
}

TEST(MonitorNotifications, TheMonitorCountsEachNotification)
{
    TempDir dir;
    PrivateBus bus;
    auto monitor = StartService({BinPath("pavrix-monitor")}, kMonitorServerName, {.stdoutFile = dir / "monitor.log"});
    syncStart();
    syncComplete();
    syncStart();
    syncComplete();
    const std::string expected = "syncStart 1\nsyncComplete 2\nsyncStart 3\nsyncComplete 4\n";
    WaitFor([&] { return ReadFile(dir / "monitor.log").size() >= expected.size(); }, std::chrono::seconds(5));
    EXPECT_EQ(ReadFile(dir / "monitor.log"), expected);
}

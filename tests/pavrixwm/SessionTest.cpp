// The Rapi session: the trace file, sessions without a device, the device list,
// store and card space.

#include "DeviceFixture.h"

#include <sys/statvfs.h>

using namespace devicetest;
using platform::PlistObject;

namespace {

// Sets (or, with null, removes) an environment variable; removed again at the end.
struct Env {
    Env(const char* name, const char* value) : name(name) { value ? ::setenv(name, value, 1) : ::unsetenv(name); }
    ~Env() { ::unsetenv(name); }
    const char* name;
};

TEST(RapiSession, TraceHasOneLinePerCallWrittenBeforeItReturns)
{
    DeviceDir dir;
    dir.put("docs/a.txt", "abc");
    Env device("PAVRIX_DEVICE", dir.path().c_str()), trace("PAVRIX_DEVICE_TRACE", (dir / "trace.log").c_str());
    Rapi rapi;
    std::vector<RapiFindData> found;
    uint8_t buffer[8];
    DWORD count = 0;
    HANDLE h = INVALID_HANDLE_VALUE;
    HKEY key = 0;
    std::optional<RegistryValue> value;
    STORE_INFORMATION store;
    uint32_t words[5];
    uint8_t* reply = nullptr;
    const std::vector<std::pair<std::function<void()>, std::string>> steps = {
        {[&] { rapi.CeFindAllFiles("\\Docs\\*", 0xBF, found); }, "CeFindAllFiles\t\\Docs\\*"},
        {[&] { h = rapi.CeCreateFile("\\docs\\A.TXT", GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING, 0x80); }, "CeCreateFile\t\\docs\\A.TXT"},
        {[&] { rapi.CeSetFilePointer(h, 0, nullptr, FILE_END); }, "CeSetFilePointer"},
        {[&] { rapi.CeReadFile(h, buffer, 1, count); }, "CeReadFile"},
        {[&] { rapi.CeWriteFile(h, Bytes("xy"), count); }, "CeWriteFile"},
        {[&] { rapi.CeCloseHandle(h); }, "CeCloseHandle"},
        {[&] { rapi.CeGetLastError(); }, "CeGetLastError"},
        {[&] { rapi.CeCreateDirectory("\\new dir"); }, "CeCreateDirectory\t\\new dir"},
        {[&] { rapi.CeMoveFile("\\new dir", "\\docs\\moved"); }, "CeMoveFile\t\\new dir\t\\docs\\moved"},
        {[&] { rapi.CeRemoveDirectory("\\docs\\moved"); }, "CeRemoveDirectory\t\\docs\\moved"},
        {[&] { rapi.CeDeleteFile("\\docs\\a.txt"); }, "CeDeleteFile\t\\docs\\a.txt"},
        {[&] { rapi.CeGetStoreInformation(store); }, "CeGetStoreInformation"},
        {[&] { rapi.GetSpaceOnCards(words); }, "GetSpaceOnCards"},
        {[&] { rapi.CeRegCreateKeyEx(HKEY_LOCAL_MACHINE, "A\\B", std::nullopt, key, nullptr); }, "CeRegCreateKeyEx"},
        {[&] { rapi.CeRegSetValueEx(key, "v", RegistryValue(int64_t(1))); }, "CeRegSetValueEx"},
        {[&] { rapi.CeRegQueryValueEx(key, "v", value); }, "CeRegQueryValueEx"},
        {[&] { rapi.CeRegCloseKey(key); }, "CeRegCloseKey"},
        {[&] { rapi.CeRegOpenKeyEx(HKEY_LOCAL_MACHINE, "A", key); }, "CeRegOpenKeyEx"},
        {[&] { rapi.CeRapiInvoke("pavrix", "GetDLLVersion", 0, nullptr, &count, &reply); }, "CeRapiInvoke"},
        {[&] { rapi.CeRapiFreeBuffer(reply); }, ""}, // handing a block back is no device call
        {[&] { Rapi().CeFindAllFiles("\\*", 0xBF, found); }, "CeFindAllFiles\t\\*"}, // appended to, never replaced
    };
    std::string expected;
    for (const auto& [call, line] : steps) {
        call();
        expected += line.empty() ? "" : line + "\n";
        ASSERT_EQ(testsupport::ReadFile(dir / "trace.log"), expected);
    }
}

TEST(RapiSession, WithoutADeviceFindsAreEmptyAndEverythingElseFails)
{
    testsupport::TempDir temp;
    testsupport::MakeDirs(temp / "nofs");
    for (std::string setting : {std::string("unset"), temp / "nofs"}) {
        SCOPED_TRACE(setting);
        Env device("PAVRIX_DEVICE", setting == "unset" ? nullptr : setting.c_str()), trace("PAVRIX_DEVICE_TRACE", nullptr);
        Rapi rapi;
        EXPECT_FALSE(rapi.deviceConnection() || RapiBase::availableDevices());
        std::vector<RapiFindData> found(2);
        rapi.CeFindAllFiles("\\*", 0xBF, found);
        EXPECT_TRUE(found.empty());
        uint8_t buffer[4], *reply = buffer;
        DWORD count = 7;
        EXPECT_EQ(rapi.CeCreateFile("\\a.txt", GENERIC_WRITE, 0, CREATE_ALWAYS, 0x80), INVALID_HANDLE_VALUE);
        EXPECT_FALSE(rapi.CeReadFile(0x100, buffer, 4, count) || rapi.CeDeleteFile("\\a") || rapi.CeMoveFile("\\a", "\\b"));
        EXPECT_EQ(rapi.CeGetLastError(), ERROR_DEVICE_NOT_CONNECTED);
        EXPECT_EQ(count, 0u);
        HKEY key = 0;
        EXPECT_TRUE(rapi.CeRegOpenKeyEx(HKEY_CURRENT_USER, "ControlPanel\\Owner", key) &&
                    rapi.CeRapiInvoke("pavrix", "PXCeHasRichInk", 0, nullptr, &count, &reply));
        EXPECT_EQ(reply, nullptr);
    }
}

TEST(RapiSession, DeviceClassStoreAndCardSpaceFromDevicePlistOrTheHost)
{
    DeviceDir dir;
    Env device("PAVRIX_DEVICE", dir.path().c_str());
    auto rapi = dir.session();
    EXPECT_EQ(RapiBase::availableDevices().value().at(0).at("DeviceClass"), "PocketPC");
    STORE_INFORMATION store;
    ASSERT_TRUE(rapi->CeGetStoreInformation(store));
    struct statvfs vfs {};
    ASSERT_EQ(::statvfs(dir.fs().c_str(), &vfs), 0);
    EXPECT_EQ(store.dwStoreSize, std::min<uint64_t>(uint64_t(vfs.f_blocks) * vfs.f_frsize, 0xFFFFFFFFu));
    uint32_t words[5] = {9, 9, 9, 9, 9};
    ASSERT_TRUE(rapi->GetSpaceOnCards(words));
    EXPECT_EQ(std::vector<uint32_t>(words, words + 5), std::vector<uint32_t>(5, 0));

    auto settings = PlistObject::dictionary();
    settings.set("DeviceClass", PlistObject::string("SmartPhone"));
    settings.set("StoreSize", PlistObject::integer(6LL << 30)); // beyond 32 bits: the largest count
    settings.set("StoreFree", PlistObject::integer(1000));
    settings.set("CardsTotal", PlistObject::integer((5LL << 32) + 7));
    settings.set("CardsFree", PlistObject::integer((1LL << 32) + 9));
    dir.setDevicePlist(settings);
    EXPECT_EQ(RapiBase::availableDevices().value().at(0).at("DeviceClass"), "SmartPhone");
    ASSERT_TRUE(rapi->CeGetStoreInformation(store));
    EXPECT_EQ(store.dwStoreSize, 0xFFFFFFFFu);
    EXPECT_EQ(store.dwFreeSize, 1000u);
    ASSERT_TRUE(rapi->GetSpaceOnCards(words));
    EXPECT_EQ(std::vector<uint32_t>(words + 1, words + 5), (std::vector<uint32_t>{5, 7, 1, 9}));
}

} // namespace

// The Rapi session: the trace file, and sessions without a device.

#include "DeviceFixture.h"

using namespace devicetest;

namespace {

TEST(RapiSession, TraceHasOneLinePerCallWrittenBeforeItReturns)
{
    DeviceDir dir;
    dir.put("docs/a.txt", "abc");
    const std::string trace = dir / "trace.log";
    Rapi rapi(EmulatedDevice::open(dir.path()), trace);
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
        {[&] { rapi.CeSetFileTime(h, nullptr, nullptr, nullptr); }, "CeSetFileTime"},
        {[&] { rapi.CeCloseHandle(h); }, "CeCloseHandle"},
        {[&] { rapi.CeGetLastError(); }, "CeGetLastError"},
        {[&] { rapi.CeCreateDirectory("\\new dir"); }, "CeCreateDirectory\t\\new dir"},
        {[&] { rapi.CeMoveFile("\\new dir", "\\docs\\moved"); }, "CeMoveFile\t\\new dir\t\\docs\\moved"},
        {[&] { rapi.CeRemoveDirectory("\\docs\\moved"); }, "CeRemoveDirectory\t\\docs\\moved"},
        {[&] { rapi.CeCopyFile("\\docs\\a.txt", "\\b.txt", TRUE); }, "CeCopyFile\t\\docs\\a.txt\t\\b.txt"},
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
        {[&] { Rapi(EmulatedDevice::open(dir.path()), trace).CeFindAllFiles("\\*", 0xBF, found); }, "CeFindAllFiles\t\\*"}, // appended to, never replaced
    };
    std::string expected;
    for (const auto& [call, line] : steps) {
        call();
        expected += line.empty() ? "" : line + "\n";
        ASSERT_EQ(testsupport::ReadFile(dir / "trace.log"), expected);
    }
}

// Without a device each call is still traced, finds are empty and everything else
// fails; registry calls and invocations answer their code and leave the last error
// as it was, file calls set it.
TEST(RapiSession, WithoutADeviceCallsAreTracedFindsAreEmptyAndEverythingElseFails)
{
    testsupport::TempDir temp;
    testsupport::MakeDirs(temp / "nofs");
    for (std::string setting : {std::string("none"), temp / "nofs"}) {
        SCOPED_TRACE(setting);
        std::remove((temp / "trace.log").c_str());
        Rapi rapi(setting == "none" ? nullptr : EmulatedDevice::open(setting), temp / "trace.log");
        EXPECT_FALSE(rapi.deviceConnection() || rapi.availableDevices());
        HKEY key = 0;
        uint8_t buffer[4], *reply = buffer;
        DWORD count = 7;
        EXPECT_EQ(rapi.CeRegOpenKeyEx(HKEY_CURRENT_USER, "ControlPanel\\Owner", key), LONG(ERROR_DEVICE_NOT_CONNECTED));
        EXPECT_EQ(rapi.CeRapiInvoke("pavrix", "PXCeHasRichInk", 0, nullptr, &count, &reply),
                  int32_t(ERROR_DEVICE_NOT_CONNECTED));
        EXPECT_EQ(reply, nullptr);
        EXPECT_EQ(rapi.CeGetLastError(), 0u);
        std::vector<RapiFindData> found(2);
        rapi.CeFindAllFiles("\\*", 0xBF, found);
        EXPECT_TRUE(found.empty());
        EXPECT_EQ(rapi.CeCreateFile("\\a.txt", GENERIC_WRITE, 0, CREATE_ALWAYS, 0x80), INVALID_HANDLE_VALUE);
        EXPECT_FALSE(rapi.CeReadFile(0x100, buffer, 4, count) || rapi.CeDeleteFile("\\a") || rapi.CeMoveFile("\\a", "\\b"));
        EXPECT_EQ(rapi.CeGetLastError(), ERROR_DEVICE_NOT_CONNECTED);
        EXPECT_EQ(count, 0u);
        EXPECT_EQ(testsupport::ReadFile(temp / "trace.log"),
                  "CeRegOpenKeyEx\nCeRapiInvoke\nCeGetLastError\nCeFindAllFiles\t\\*\nCeCreateFile\t\\a.txt\n"
                  "CeReadFile\nCeDeleteFile\t\\a\nCeMoveFile\t\\a\t\\b\nCeGetLastError\n");
    }
}

} // namespace

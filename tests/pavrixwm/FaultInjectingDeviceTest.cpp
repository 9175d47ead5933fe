// The fault-injecting test device: what it fails, what it passes on, what it counts.

#include "DeviceFixture.h"
#include "pavrixwm/FaultInjectingDevice.h"

#include <gtest/gtest.h>

using namespace devicetest;
using Call = FaultInjectingDevice::Call;

namespace {

struct Harness {
    DeviceDir dir;
    std::shared_ptr<FaultInjectingDevice> faults = std::make_shared<FaultInjectingDevice>(dir.device());
    Rapi rapi{faults};
};

TEST(FaultInjectingDevice, FailedOpensReportTheChosenCodeThenTheDevicesOwn)
{
    Harness h;
    h.dir.put("a.txt", "abc");
    h.faults->failCall(Call::CreateFile, ERROR_SHARING_VIOLATION, 1);
    EXPECT_EQ(h.rapi.CeCreateFile("\\a.txt", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, 0), INVALID_HANDLE_VALUE);
    EXPECT_EQ(h.rapi.CeGetLastError(), ERROR_SHARING_VIOLATION);

    HANDLE file = h.rapi.CeCreateFile("\\a.txt", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, 0);
    ASSERT_NE(file, INVALID_HANDLE_VALUE); // only one failure was asked for
    EXPECT_EQ(h.rapi.CeGetLastError(), ERROR_SHARING_VIOLATION); // a success leaves the code
    h.rapi.CeCloseHandle(file);

    EXPECT_EQ(h.rapi.CeCreateFile("\\missing.txt", GENERIC_READ, 0, OPEN_EXISTING, 0), INVALID_HANDLE_VALUE);
    EXPECT_EQ(h.rapi.CeGetLastError(), ERROR_FILE_NOT_FOUND); // the device's own failure
    EXPECT_EQ(h.faults->callCount(Call::CreateFile), 3);
}

TEST(FaultInjectingDevice, ReadFailsAfterTheOpenWhenAsked)
{
    Harness h;
    h.dir.put("a.txt", "abcdef");
    h.faults->failCall(Call::ReadFile, ERROR_GEN_FAILURE, FaultInjectingDevice::kAlways, 1);
    HANDLE file = h.rapi.CeCreateFile("\\a.txt", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, 0);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    uint8_t buffer[3];
    DWORD got = 0;
    EXPECT_TRUE(h.rapi.CeReadFile(file, buffer, 3, got)); // the skipped one
    EXPECT_EQ(got, 3u);
    for (int i = 0; i < 3; ++i) {
        got = 9;
        EXPECT_FALSE(h.rapi.CeReadFile(file, buffer, 3, got));
        EXPECT_EQ(got, 0u);
        EXPECT_EQ(h.rapi.CeGetLastError(), ERROR_GEN_FAILURE);
    }
    h.faults->clearFaults();
    EXPECT_TRUE(h.rapi.CeReadFile(file, buffer, 3, got));
    EXPECT_EQ(std::string(buffer, buffer + got), "def");
    h.rapi.CeCloseHandle(file);
}

TEST(FaultInjectingDevice, ShortZeroAndFailedWrites)
{
    Harness h;
    HANDLE file = h.rapi.CeCreateFile("\\out.bin", GENERIC_WRITE, 0, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;

    h.faults->shortWrites(4, 1);
    ASSERT_TRUE(WriteText(h.rapi, file, "0123456789", written)); // skipped: whole
    EXPECT_EQ(written, 10u);
    ASSERT_TRUE(WriteText(h.rapi, file, "abcdefgh", written));
    EXPECT_EQ(written, 4u);
    EXPECT_EQ(h.dir.read("out.bin"), "0123456789abcd");

    h.faults->shortWrites(0);
    written = 9;
    EXPECT_TRUE(WriteText(h.rapi, file, "xyz", written));
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(h.dir.read("out.bin"), "0123456789abcd");

    h.faults->clearFaults();
    h.faults->failCall(Call::WriteFile, ERROR_DISK_FULL, 1);
    EXPECT_FALSE(WriteText(h.rapi, file, "xyz", written));
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(h.rapi.CeGetLastError(), ERROR_DISK_FULL);
    EXPECT_TRUE(WriteText(h.rapi, file, "!", written));
    h.rapi.CeCloseHandle(file);
    EXPECT_EQ(h.dir.read("out.bin"), "0123456789abcd!");
}

TEST(FaultInjectingDevice, FailedChangesLeaveTheDeviceAlone)
{
    Harness h;
    h.dir.put("a.txt", "a");
    h.dir.mkdir("d");
    h.faults->failCall(Call::DeleteFile, ERROR_ACCESS_DENIED);
    h.faults->failCall(Call::MoveFile, ERROR_SHARING_VIOLATION);
    h.faults->failCall(Call::RemoveDirectory, ERROR_ACCESS_DENIED);
    h.faults->failCall(Call::CreateDirectory, ERROR_DISK_FULL);
    EXPECT_FALSE(h.rapi.CeDeleteFile("\\a.txt"));
    EXPECT_EQ(h.rapi.CeGetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_FALSE(h.rapi.CeMoveFile("\\a.txt", "\\b.txt"));
    EXPECT_EQ(h.rapi.CeGetLastError(), ERROR_SHARING_VIOLATION);
    EXPECT_FALSE(h.rapi.CeRemoveDirectory("\\d"));
    EXPECT_FALSE(h.rapi.CeCreateDirectory("\\e"));
    EXPECT_EQ(h.rapi.CeGetLastError(), ERROR_DISK_FULL);
    EXPECT_TRUE(h.dir.exists("a.txt"));
    EXPECT_FALSE(h.dir.exists("b.txt"));
    EXPECT_TRUE(h.dir.exists("d"));
    EXPECT_FALSE(h.dir.exists("e"));

    h.faults->failCall(Call::FindAllFiles, ERROR_GEN_FAILURE, 1);
    std::vector<RapiFindData> found(1);
    EXPECT_FALSE(h.rapi.CeFindAllFiles("\\*", 0xBF, found));
    EXPECT_TRUE(found.empty());
    EXPECT_TRUE(h.rapi.CeFindAllFiles("\\*", 0xBF, found));
    EXPECT_EQ(Names(found), (std::vector<std::string>{"a.txt", "d"}));
}

TEST(FaultInjectingDevice, RegistryFailuresReturnTheCode)
{
    Harness h;
    HKEY key = 0;
    h.faults->failCall(Call::RegSetValueEx, ERROR_ACCESS_DENIED, 1);
    ASSERT_EQ(h.rapi.CeRegCreateKeyEx(HKEY_LOCAL_MACHINE, "K", std::nullopt, key, nullptr), 0);
    EXPECT_EQ(h.rapi.CeRegSetValueEx(key, "PId", RegistryValue(int64_t(1))), LONG(ERROR_ACCESS_DENIED));
    std::optional<RegistryValue> value;
    EXPECT_EQ(h.rapi.CeRegQueryValueEx(key, "PId", value), LONG(ERROR_FILE_NOT_FOUND)); // nothing was written
    EXPECT_EQ(h.rapi.CeRegSetValueEx(key, "PId", RegistryValue(int64_t(1))), 0);
    h.faults->failCall(Call::RegOpenKeyEx, 1234);
    EXPECT_EQ(h.rapi.CeRegOpenKeyEx(HKEY_LOCAL_MACHINE, "K", key), 1234);
}

TEST(FaultInjectingDevice, ReplacedRepliesAndTheirBlocksAreCounted)
{
    Harness h;
    uint8_t* block = nullptr;
    DWORD length = 0;

    // A truncated version reply, once; the next call gets the device's own.
    h.faults->replaceInvokeReply("GetDLLVersion", 0, std::vector<uint8_t>(48, 0xAB), 1);
    EXPECT_EQ(h.rapi.CeRapiInvoke("pavrix", "GetDLLVersion", 0, nullptr, &length, &block), 0);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(length, 48u);
    EXPECT_EQ(block[47], 0xAB);
    EXPECT_EQ(h.faults->outstandingReplyBlocks(), 1);
    h.rapi.CeRapiFreeBuffer(block);
    EXPECT_EQ(h.rapi.CeRapiInvoke("pavrix", "GetDLLVersion", 0, nullptr, &length, &block), 0);
    EXPECT_EQ(length, 52u);
    h.rapi.CeRapiFreeBuffer(block);

    // An oversized reply with a failing result, for any function.
    h.faults->replaceInvokeReply("", 0x80004005, std::vector<uint8_t>(60, 1));
    EXPECT_EQ(h.rapi.CeRapiInvoke("pavrix", "PXCeHasRichInk", 0, nullptr, &length, &block), int32_t(0x80004005));
    EXPECT_EQ(length, 60u);
    // A block the caller forgets stays counted as outstanding.
    EXPECT_EQ(h.faults->replyBlocksHandedOut(), 3);
    EXPECT_EQ(h.faults->replyBlocksFreed(), 2);
    EXPECT_EQ(h.faults->outstandingReplyBlocks(), 1);
    h.rapi.CeRapiFreeBuffer(block);
    h.rapi.CeRapiFreeBuffer(block); // handing one back twice counts once
    EXPECT_EQ(h.faults->replyBlocksFreed(), 3);
    EXPECT_EQ(h.faults->outstandingReplyBlocks(), 0);

    // No reply at all, and a failed invocation.
    h.faults->replaceInvokeReply("", 0, std::nullopt);
    EXPECT_EQ(h.rapi.CeRapiInvoke("pavrix", "GetDLLVersion", 0, nullptr, &length, &block), 0);
    EXPECT_EQ(block, nullptr);
    EXPECT_EQ(length, 0u);
    h.faults->clearFaults();
    h.faults->failCall(Call::RapiInvoke, 0x8007000E, 1);
    EXPECT_EQ(h.rapi.CeRapiInvoke("pavrix", "GetDLLVersion", 0, nullptr, &length, &block), int32_t(0x8007000E));
    EXPECT_EQ(block, nullptr);
    EXPECT_EQ(h.faults->replyBlocksHandedOut(), 3);
    EXPECT_EQ(h.faults->callCount(Call::RapiInvoke), 5);
}

} // namespace

// A session without a device still leaves a trace line per call, and keeps the
// last error the way a device does: registry calls and invocations answer their
// code and leave it alone, file calls set it.

#include "pavrixwm/Rapi.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

namespace {

TEST(RapiSession, WithoutADeviceCallsAreTracedAndOnlyFileCallsSetTheLastError)
{
    testsupport::TempDir temp;
    Rapi rapi(nullptr);
    rapi.setTracePath(temp / "trace.log");
    HKEY key = 0;
    DWORD count = 0;
    uint8_t* reply = nullptr;
    EXPECT_EQ(rapi.CeRegOpenKeyEx(HKEY_LOCAL_MACHINE, "A", key), LONG(ERROR_DEVICE_NOT_CONNECTED));
    EXPECT_EQ(rapi.CeRapiInvoke("pavrix", "GetDLLVersion", 0, nullptr, &count, &reply),
              int32_t(ERROR_DEVICE_NOT_CONNECTED));
    EXPECT_EQ(rapi.CeGetLastError(), 0u);
    EXPECT_FALSE(rapi.CeMoveFile("\\a", "\\b"));
    EXPECT_EQ(rapi.CeGetLastError(), ERROR_DEVICE_NOT_CONNECTED);
    rapi.setTracePath(std::nullopt);
    EXPECT_FALSE(rapi.CeDeleteFile("\\c"));
    EXPECT_EQ(testsupport::ReadFile(temp / "trace.log"),
              "CeRegOpenKeyEx\nCeRapiInvoke\nCeGetLastError\nCeMoveFile\t\\a\t\\b\nCeGetLastError\n");
}

} // namespace

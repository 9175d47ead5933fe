// The whole-file read and the 64-bit seeks, on an emulated device.

#include "pavrixwm/ReadAll.h"
#include "pavrixwm/EmulatedDevice.h"
#include "pavrixwm/Rapi.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

namespace {

struct Device : testsupport::DeviceFolder {
    Rapi rapi{EmulatedDevice::open(path())};
    HANDLE open(const std::string& name)
    {
        return rapi.CeCreateFile(name, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
    }
};

} // namespace

// Sizes and positions past 4 GiB keep their high half: a file of 4 GiB + 100 is
// not taken for one of 100 bytes, and a seek lands past the 4 GiB boundary.
TEST(ReadAll, SizesAndSeeksPastFourGiB)
{
    Device d;
    const uint64_t size = (uint64_t(4) << 30) + 100;
    d.put("big.bin", "");
    int fd = ::open(d.fs("big.bin").c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::pwrite(fd, "HIGH", 4, static_cast<off_t>(size - 4)), 4);
    ::close(fd);
    d.put("small.txt", "hello");

    HANDLE big = d.open("\\big.bin");
    ASSERT_NE(big, INVALID_HANDLE_VALUE);
    EXPECT_EQ(SeekToEnd(d.rapi, big), size);
    EXPECT_EQ(readAll(d.rapi, big), nullptr) << "one read cannot hold it: no contents rather than 100 bytes";
    ASSERT_TRUE(SeekToOffset(d.rapi, big, size - 4));
    uint8_t tail[8] = {};
    DWORD got = 0;
    ASSERT_TRUE(d.rapi.CeReadFile(big, tail, sizeof tail, got));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(tail), got), "HIGH");
    d.rapi.CeCloseHandle(big);

    HANDLE small = d.open("\\small.txt");
    auto contents = readAll(d.rapi, small);
    ASSERT_NE(contents, nullptr);
    EXPECT_EQ(std::string(contents->begin(), contents->end()), "hello");
    EXPECT_FALSE(SeekToOffset(d.rapi, 0x12345, 0)) << "a handle that is not open";
    d.rapi.CeCloseHandle(small);
}

// The emulated link's speed for file contents ("BytesPerSecond" in device.plist).

#include "DeviceFixture.h"

#include "platform/PlistObject.h"

#include <chrono>

using namespace devicetest;

// Every byte read or written takes its share of a second. Only the lower bound is
// asserted: a sleep never ends early.
TEST(LinkPace, ReadsAndWritesTakeTheirShareOfTheLink)
{
    DeviceDir dir;
    auto settings = platform::PlistObject::dictionary();
    settings.set("BytesPerSecond", platform::PlistObject::integer(1000000));
    settings.writeAtomically(dir / "device.plist");
    auto rapi = dir.session();
    const std::vector<uint8_t> data(200000, 'p');

    auto timed = [](auto&& step) {
        auto start = std::chrono::steady_clock::now();
        step();
        return std::chrono::steady_clock::now() - start;
    };
    HANDLE out = rapi->CeCreateFile("\\paced.bin", GENERIC_WRITE, 0, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL);
    ASSERT_NE(out, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    EXPECT_GE(timed([&] { rapi->CeWriteFile(out, data.data(), static_cast<DWORD>(data.size()), written); }),
              std::chrono::milliseconds(200));
    EXPECT_EQ(written, data.size());
    rapi->CeCloseHandle(out);

    HANDLE in = rapi->CeCreateFile("\\paced.bin", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
    std::vector<uint8_t> back(data.size());
    DWORD got = 0;
    EXPECT_GE(timed([&] { rapi->CeReadFile(in, back.data(), 100000, got); }), std::chrono::milliseconds(100));
    EXPECT_EQ(got, 100000u);
    rapi->CeCloseHandle(in);
    EXPECT_EQ(testsupport::ReadFile(dir.fs("paced.bin")), std::string(data.begin(), data.end()));
}

// The Rapi session: the trace file, sessions without a device, the device list,
// store and card space, latency and packet logging.

#include "DeviceFixture.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sstream>
#include <sys/statvfs.h>
#include <unistd.h>

using namespace devicetest;
using platform::PlistObject;

namespace {

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

TEST(RapiSession, TraceHasOneLinePerCallWrittenBeforeItReturns)
{
    DeviceDir dir;
    dir.put("docs/a.txt", "abc");
    std::string traceFile = dir / "trace.log";
    ScopedEnv deviceEnv("PAVRIX_DEVICE", dir.path());
    ScopedEnv traceEnv("PAVRIX_DEVICE_TRACE", traceFile);
    Rapi rapi;
    ASSERT_TRUE(rapi.deviceConnection());

    std::vector<RapiFindData> found;
    uint8_t buffer[8];
    DWORD count = 0;
    HANDLE h = INVALID_HANDLE_VALUE;
    HKEY key = 0;
    std::optional<RegistryValue> value;
    STORE_INFORMATION store;
    uint32_t words[5];
    uint8_t* reply = nullptr;
    DWORD replyLength = 0;
    struct Step {
        std::function<void()> call;
        std::string line;
    };
    const std::vector<Step> steps = {
        {[&] { rapi.CeFindAllFiles("\\Docs\\*", 0xBF, found); }, "CeFindAllFiles\t\\Docs\\*"},
        {[&] { rapi.CeFindAllFiles("\\docs\\a.txt", 0x3B, found); }, "CeFindAllFiles\t\\docs\\a.txt"},
        {[&] { h = rapi.CeCreateFile("\\docs\\A.TXT", GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING, 0x80); }, "CeCreateFile\t\\docs\\A.TXT"},
        {[&] { rapi.CeSetFilePointer(h, 0, nullptr, FILE_END); }, "CeSetFilePointer"},
        {[&] { rapi.CeReadFile(h, buffer, 1, count); }, "CeReadFile"},
        {[&] { rapi.CeWriteFile(h, std::vector<uint8_t>{1, 2}, count); }, "CeWriteFile"},
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
        {[&] { rapi.CeRapiInvoke("pavrix", "GetDLLVersion", 0, nullptr, &replyLength, &reply); }, "CeRapiInvoke"},
    };
    std::vector<std::string> expected;
    for (const auto& step : steps) {
        step.call();
        expected.push_back(step.line);
        ASSERT_EQ(Lines(testsupport::ReadFile(traceFile)), expected);
    }
    // Handing a reply block back is no device call.
    rapi.CeRapiFreeBuffer(reply);
    EXPECT_EQ(Lines(testsupport::ReadFile(traceFile)).size(), steps.size());
    // The trace is appended to, never replaced.
    Rapi second;
    second.CeFindAllFiles("\\*", 0xBF, found);
    EXPECT_EQ(Lines(testsupport::ReadFile(traceFile)).back(), "CeFindAllFiles\t\\*");
    EXPECT_EQ(Lines(testsupport::ReadFile(traceFile)).size(), steps.size() + 1);
}

TEST(RapiSession, WithoutADeviceFindsAreEmptyAndEverythingElseFails)
{
    testsupport::TempDir temp;
    testsupport::MakeDirs(temp / "nofs");
    for (std::optional<std::string> setting : {std::optional<std::string>(), std::optional<std::string>(temp / "missing"),
                                              std::optional<std::string>(temp / "nofs"), std::optional<std::string>("")}) {
        ScopedEnv deviceEnv("PAVRIX_DEVICE", setting);
        ScopedEnv traceEnv("PAVRIX_DEVICE_TRACE", std::nullopt);
        Rapi rapi;
        EXPECT_FALSE(rapi.deviceConnection());
        EXPECT_FALSE(RapiBase::availableDevices().has_value());

        std::vector<RapiFindData> found(2);
        rapi.CeFindAllFiles("\\*", 0xBF, found);
        EXPECT_TRUE(found.empty());
        EXPECT_EQ(rapi.CeCreateFile("\\a.txt", GENERIC_WRITE, 0, CREATE_ALWAYS, 0x80), INVALID_HANDLE_VALUE);
        EXPECT_NE(rapi.CeGetLastError(), 0u);
        uint8_t buffer[4];
        DWORD count = 7;
        EXPECT_FALSE(rapi.CeReadFile(0x100, buffer, 4, count));
        EXPECT_EQ(count, 0u);
        EXPECT_FALSE(rapi.CeWriteFile(0x100, buffer, 4, count));
        EXPECT_EQ(rapi.CeSetFilePointer(0x100, 0, nullptr, FILE_END), INVALID_SET_FILE_POINTER);
        EXPECT_FALSE(rapi.CeCloseHandle(0x100));
        EXPECT_FALSE(rapi.CeDeleteFile("\\a.txt"));
        EXPECT_FALSE(rapi.CeRemoveDirectory("\\a"));
        EXPECT_FALSE(rapi.CeCreateDirectory("\\a"));
        EXPECT_FALSE(rapi.CeMoveFile("\\a", "\\b"));
        EXPECT_EQ(rapi.CeGetLastError(), ERROR_DEVICE_NOT_CONNECTED);
        STORE_INFORMATION store{7, 7};
        EXPECT_FALSE(rapi.CeGetStoreInformation(store));
        EXPECT_EQ(store.dwStoreSize, 0u);
        uint32_t words[5] = {1, 2, 3, 4, 5};
        EXPECT_FALSE(rapi.GetSpaceOnCards(words));
        EXPECT_EQ(words[2], 0u);
        HKEY key = 0;
        EXPECT_NE(rapi.CeRegOpenKeyEx(HKEY_CURRENT_USER, "ControlPanel\\Owner", key), 0);
        EXPECT_NE(rapi.CeRegCreateKeyEx(HKEY_LOCAL_MACHINE, "X", std::nullopt, key, nullptr), 0);
        std::optional<RegistryValue> value;
        EXPECT_NE(rapi.CeRegQueryValueEx(0x1000, "v", value), 0);
        EXPECT_FALSE(value);
        EXPECT_NE(rapi.CeRegSetValueEx(0x1000, "v", RegistryValue(std::string("x"))), 0);
        uint8_t* reply = reinterpret_cast<uint8_t*>(&key);
        DWORD replyLength = 9;
        EXPECT_NE(rapi.CeRapiInvoke("pavrix", "PXCeHasRichInk", 0, nullptr, &replyLength, &reply), 0);
        EXPECT_EQ(reply, nullptr);
        EXPECT_EQ(replyLength, 0u);
    }
}

TEST(RapiSession, AvailableDevicesDescribeTheAttachedDevice)
{
    DeviceDir dir;
    ScopedEnv deviceEnv("PAVRIX_DEVICE", dir.path());
    auto devices = RapiBase::availableDevices();
    ASSERT_TRUE(devices.has_value());
    ASSERT_EQ(devices->size(), 1u);
    EXPECT_EQ(devices->front().at("DeviceClass"), "PocketPC");

    auto settings = PlistObject::dictionary();
    settings.set("DeviceClass", PlistObject::string("SmartPhone"));
    dir.setDevicePlist(settings);
    devices = RapiBase::availableDevices();
    ASSERT_TRUE(devices.has_value());
    EXPECT_EQ(devices->front().at("DeviceClass"), "SmartPhone");
}

TEST(RapiSession, StoreAndCardSpaceFromDevicePlist)
{
    DeviceDir dir;
    auto settings = PlistObject::dictionary();
    settings.set("StoreSize", PlistObject::integer(123456789));
    settings.set("StoreFree", PlistObject::integer(1000));
    settings.set("CardsTotal", PlistObject::integer((5LL << 32) + 7));
    settings.set("CardsFree", PlistObject::integer((1LL << 32) + 9));
    dir.setDevicePlist(settings);
    auto rapi = dir.session();

    STORE_INFORMATION store;
    ASSERT_TRUE(rapi->CeGetStoreInformation(store));
    EXPECT_EQ(store.dwStoreSize, 123456789u);
    EXPECT_EQ(store.dwFreeSize, 1000u);
    uint32_t words[5];
    ASSERT_TRUE(rapi->GetSpaceOnCards(words));
    EXPECT_EQ(words[1], 5u);
    EXPECT_EQ(words[2], 7u);
    EXPECT_EQ(words[3], 1u);
    EXPECT_EQ(words[4], 9u);

    // A store larger than 32 bits can count is reported as the largest count.
    settings.set("StoreSize", PlistObject::integer(6LL << 30));
    settings.set("StoreFree", PlistObject::integer((4LL << 30) + 1));
    dir.setDevicePlist(settings);
    ASSERT_TRUE(rapi->CeGetStoreInformation(store));
    EXPECT_EQ(store.dwStoreSize, 0xFFFFFFFFu);
    EXPECT_EQ(store.dwFreeSize, 0xFFFFFFFFu);
}

TEST(RapiSession, StoreSpaceDefaultsToTheHostFileSystemAndNoCards)
{
    DeviceDir dir;
    auto rapi = dir.session();
    STORE_INFORMATION store;
    ASSERT_TRUE(rapi->CeGetStoreInformation(store));
    struct statvfs vfs {};
    ASSERT_EQ(::statvfs(dir.fs().c_str(), &vfs), 0);
    uint64_t size = uint64_t(vfs.f_blocks) * vfs.f_frsize;
    uint64_t free = uint64_t(vfs.f_bavail) * vfs.f_frsize;
    EXPECT_EQ(store.dwStoreSize, std::min<uint64_t>(size, 0xFFFFFFFFu));
    if (free > 0xFFFFFFFFu + (64ULL << 20)) {
        EXPECT_EQ(store.dwFreeSize, 0xFFFFFFFFu);
    } else {
        EXPECT_NEAR(double(store.dwFreeSize), double(free), double(64 << 20));
    }
    uint32_t words[5] = {9, 9, 9, 9, 9};
    ASSERT_TRUE(rapi->GetSpaceOnCards(words));
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(words[i], 0u) << i;
}

TEST(RapiSession, LatencyIsAddedToEveryCall)
{
    DeviceDir dir;
    dir.put("a.txt", "a");
    auto settings = PlistObject::dictionary();
    settings.set("LatencyMicroseconds", PlistObject::integer(60000));
    dir.setDevicePlist(settings);
    auto rapi = dir.session();
    std::vector<RapiFindData> found;
    auto start = std::chrono::steady_clock::now();
    rapi->CeFindAllFiles("\\*", 0xBF, found);
    HANDLE h = rapi->CeCreateFile("\\a.txt", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, 0x80);
    rapi->CeCloseHandle(h);
    rapi->CeGetLastError();
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(240));
}

// Captures what the process writes to its standard error while it lives.
class StderrCapture {
public:
    explicit StderrCapture(std::string path) : path_(std::move(path))
    {
        saved_ = ::dup(STDERR_FILENO);
        int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(fd, STDERR_FILENO);
        ::close(fd);
    }
    ~StderrCapture() { restore(); }
    std::string text()
    {
        restore();
        return testsupport::ReadFile(path_);
    }

private:
    void restore()
    {
        if (saved_ >= 0) {
            ::dup2(saved_, STDERR_FILENO);
            ::close(saved_);
            saved_ = -1;
        }
    }
    std::string path_;
    int saved_ = -1;
};

TEST(RapiSession, ReadPacketLoggingShowsReadBytesOnlyWhileOn)
{
    DeviceDir dir;
    dir.put("a.txt", "AB");
    auto rapi = dir.session();
    auto readOnce = [&] {
        HANDLE h = rapi->CeCreateFile("\\a.txt", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, 0x80);
        uint8_t buffer[8];
        DWORD got = 0;
        rapi->CeReadFile(h, buffer, sizeof buffer, got);
        rapi->CeCloseHandle(h);
    };
    {
        StderrCapture capture(dir / "off.txt");
        readOnce();
        EXPECT_EQ(capture.text(), "");
    }
    rapi->setReadPacketLogging(true);
    EXPECT_TRUE(rapi->readPacketLogging());
    {
        StderrCapture capture(dir / "on.txt");
        readOnce();
        EXPECT_NE(capture.text().find("41 42"), std::string::npos);
    }
}

} // namespace

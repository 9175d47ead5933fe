// The device registry kept in registry.plist.

#include "DeviceFixture.h"

using namespace devicetest;

namespace {

TEST(DeviceRegistry, ValuesOfEachKindSurviveANewSessionUnderAnySpelling)
{
    DeviceDir dir;
    const std::string partner = "SOFTWARE\\Microsoft\\Windows CE Services\\Partners\\P1";
    {
        auto rapi = dir.session();
        HKEY key = 0;
        DWORD disposition = 0;
        EXPECT_EQ(rapi->CeRegOpenKeyEx(HKEY_LOCAL_MACHINE, partner, key), LONG(ERROR_FILE_NOT_FOUND));
        EXPECT_FALSE(testsupport::PathExists(dir / "registry.plist"));
        ASSERT_EQ(rapi->CeRegCreateKeyEx(HKEY_LOCAL_MACHINE, partner, std::nullopt, key, &disposition), 0);
        EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
        for (const auto& [name, value] : std::vector<std::pair<std::string, RegistryValue>>{
                 {"PId", int64_t(0xDEADBEEF)}, {"PName", std::string("Desk \xC3\xA9")}, {"pname", std::string("Desk")},
                 {"ipaddr", std::vector<uint8_t>{10, 0, 0, 1}}, {"Negative", int64_t(-1)}})
            EXPECT_EQ(rapi->CeRegSetValueEx(key, name, value), 0) << name;
        EXPECT_EQ(rapi->CeRegCloseKey(key), 0);
        EXPECT_EQ(rapi->CeRegCloseKey(key), LONG(ERROR_INVALID_HANDLE));
    }
    auto rapi = dir.session(); // a new device object reads what the first one wrote
    HKEY key = 0;
    DWORD disposition = 0;
    ASSERT_EQ(rapi->CeRegCreateKeyEx(HKEY_LOCAL_MACHINE, "software\\MICROSOFT\\windows ce services\\partners\\p1", std::nullopt, key, &disposition), 0);
    EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
    const std::vector<std::pair<std::string, RegistryValue>> expected = {
        {"pid", int64_t(0xDEADBEEF)}, {"PNAME", std::string("Desk")}, // the later spelling replaced the value
        {"IPADDR", std::vector<uint8_t>{10, 0, 0, 1}}, {"Negative", int64_t(0xFFFFFFFF)}, // the device keeps 32 bits
    };
    for (const auto& [name, value] : expected) {
        std::optional<RegistryValue> got;
        EXPECT_EQ(rapi->CeRegQueryValueEx(key, name, got), 0) << name;
        EXPECT_EQ(got, value) << name;
    }
    std::optional<RegistryValue> got;
    EXPECT_EQ(rapi->CeRegQueryValueEx(key, "Missing", got), LONG(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(got);
}

} // namespace

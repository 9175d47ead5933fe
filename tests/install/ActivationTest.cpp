// D-Bus activation of the installed service programs: a private session bus that
// knows the installed service folder starts the log server when a client of this
// system first asks for it while it is not running. The monitor's client asks the
// same way, and its service file is checked line by line with the install.

#include "install/InstallSupport.h"
#include "log/LogClient.h"
#include "platform/NamedService.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <memory>
#include <sys/stat.h>

using namespace testsupport;

namespace {

constexpr const char* kLogServer = "PavrixWMLogServer";

std::string ExecutableOf(pid_t pid) { return std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/exe"); }

class Activation : public ::testing::Test {
protected:
    void SetUp() override
    {
        CommandResult installed = InstallBuild(prefix_);
        ASSERT_EQ(installed.exitCode, 0) << installed.err;
        bus_ = std::make_unique<PrivateBus>(
            std::vector<std::string>{prefix_ + "/share/dbus-1/services", extraServices_.path()});
    }

    // The bus started these programs, not the test: they are stopped by the pid the
    // bus reports for their name.
    void TearDown() override
    {
        StopOwner(kLogServer);
        bus_.reset();
    }

    static void StopOwner(const std::string& name)
    {
        if (auto pid = ServiceOwnerPid(name)) {
            ::kill(*pid, SIGTERM);
            WaitFor([&] { return !ServiceRegistered(name); });
        }
    }

    std::string installed(const std::string& program) const { return prefix_ + "/bin/" + program; }

    TempDir scratch_;
    TempDir extraServices_;
    std::string prefix_ = scratch_ / "prefix";
    std::unique_ptr<PrivateBus> bus_;
};

std::string ServerLog()
{
    auto log = LogGetCurrentLog();
    return log ? log->asString().value_or("<not text>") : "<no log>";
}

} // namespace

TEST_F(Activation, ALogLineWithNoServerRunningStartsTheLogServerAndArrives)
{
    ASSERT_FALSE(ServiceRegistered(kLogServer));
    LogInit(kLogServer, "activation");

    LogRawString("first line\n");
    auto first = ServiceOwnerPid(kLogServer);
    ASSERT_TRUE(first) << "the log server was not started";
    EXPECT_EQ(ExecutableOf(*first), installed("pavrix-logserver"));
    EXPECT_EQ(ServerLog(), "first line\n");

    // A server that went away is started again by the next line: a start that
    // succeeded once must not hold later starts back.
    StopOwner(kLogServer);
    LogRawString("second line\n");
    auto second = ServiceOwnerPid(kLogServer);
    ASSERT_TRUE(second) << "the log server was not started again";
    EXPECT_NE(*second, *first);
    EXPECT_EQ(ServerLog(), "second line\n");
    LogCleanup();
}

// A service that cannot start costs one attempt, not one per message: the log
// client looks its server up again for every line while none runs.
TEST_F(Activation, AFailedStartIsNotRepeatedForEveryLookUp)
{
    const std::string starts = scratch_ / "starts";
    const std::string program = scratch_ / "failing-service";
    WriteFile(program, "#!/bin/sh\necho started >> '" + starts + "'\nexit 1\n");
    ::chmod(program.c_str(), 0755);
    WriteFile(extraServices_ / "org.pavrix.Failing.service",
              "[D-BUS Service]\nName=" + platform::ServiceBusName("Failing") + "\nExec=" + program + "\n");

    EXPECT_EQ(platform::ServiceProxy::lookUp("Failing", "Probe"), nullptr);
    EXPECT_EQ(ReadFile(starts), "started\n");
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(platform::ServiceProxy::lookUp("Failing", "Probe"), nullptr);
    EXPECT_EQ(ReadFile(starts), "started\n");

    // A name no service file provides is simply not registered.
    EXPECT_EQ(platform::ServiceProxy::lookUp("Nobody", "Probe"), nullptr);
}

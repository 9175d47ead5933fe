// The installed system: cmake --install into a staging folder, as a packager runs
// it (every file where it belongs, nothing outside the prefix, and the files that
// name programs naming them where they will be installed), and D-Bus activation of
// the installed service programs: a private session bus that knows the installed
// service folder starts the log server when a client of this system first asks for
// it while it is not running.

#include "log/LogClient.h"
#include "platform/NamedService.h"
#include "support/TestSupport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

using namespace testsupport;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

// cmake --install of this build under `prefix`, staged into `destdir` when given.
CommandResult InstallBuild(const std::string& prefix, const std::optional<std::string>& destdir = std::nullopt)
{
    return RunCommand({PAVRIX_CMAKE_COMMAND, "--install", PAVRIX_BUILD_DIR, "--prefix", prefix},
                      {.env = {{"DESTDIR", destdir}}});
}

// The install, staged in `dest` for the prefix `prefix`.
struct StagedInstall {
    TempDir scratch;
    std::string dest = scratch / "dest";
    std::string prefix = scratch / "prefix";
    CommandResult result = InstallBuild(prefix, dest);
    std::string staged(const std::string& relative) const { return dest + prefix + "/" + relative; }
};

const std::vector<std::string> kPrograms{"webdav", "webdav-start", "pavrix-logserver", "pavrix-prefserver",
                                         "pavrix-monitor", "pavrix-linkd"};

constexpr const char* kLogServer = "PavrixWMLogServer";

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

TEST(Install, EveryFileLandsUnderThePrefixAndNamesWhatIsInstalled)
{
    StagedInstall install;
    ASSERT_EQ(install.result.exitCode, 0) << install.result.out << install.result.err;

    std::vector<std::string> expected{
        "lib/systemd/system/pavrix-linkd@.service",
        "lib/systemd/user/pavrix-logserver.service",
        "lib/systemd/user/webdav.service",
        "share/dbus-1/services/org.pavrix.PavrixWMForFramework.service",
        "share/dbus-1/services/org.pavrix.PavrixWMLogServer.service",
        "share/doc/webdav/README.md",
        "share/doc/webdav/environment.example",
        "share/doc/webdav/pavrix-linkd.default",
        "lib/udev/rules.d/60-pavrix-link.rules",
    };
    for (const auto& program : kPrograms)
        expected.push_back("bin/" + program);
    for (auto& path : expected)
        path = install.prefix.substr(1) + "/" + path;
    std::sort(expected.begin(), expected.end());
    std::vector<std::string> files; // symbolic links included
    for (const auto& entry : std::filesystem::recursive_directory_iterator(install.dest))
        if (!entry.is_directory() || entry.is_symlink())
            files.push_back(std::filesystem::relative(entry.path(), install.dest).string());
    std::sort(files.begin(), files.end());
    EXPECT_EQ(files, expected);

    for (const auto& program : kPrograms) {
        struct stat st {};
        EXPECT_TRUE(::stat(install.staged("bin/" + program).c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
                    (st.st_mode & S_IXUSR) && (st.st_mode & S_IXOTH)) << program;
    }

    // The service files name the installed programs and the registered names.
    const std::string bin = install.prefix + "/bin/";
    const std::string logServer = platform::ServiceBusName("PavrixWMLogServer");
    const std::string monitor = platform::ServiceBusName("PavrixWMForFramework");
    // A wrong name here fails without a word: the bus simply never starts the
    // program, and the daemon's lines go to its console log. A path with the stage
    // in it names a program that will not be there.
    // a file, and lines it holds
    const std::pair<std::string, std::vector<std::string>> cases[] = {
        {"share/dbus-1/services/" + logServer + ".service",
         {"Name=" + logServer, "Exec=" + bin + "pavrix-logserver",
          "SystemdService=pavrix-logserver.service"}},
        {"share/dbus-1/services/" + monitor + ".service",
         {"Name=" + monitor, "Exec=" + bin + "pavrix-monitor"}},
        {"lib/systemd/user/pavrix-logserver.service", {"BusName=" + logServer, "ExecStart=" + bin + "pavrix-logserver"}},
        {"lib/systemd/user/webdav.service", {"ExecStart=" + bin + "webdav"}},
        {"lib/systemd/system/pavrix-linkd@.service", {"ExecStart=" + bin + "pavrix-linkd --address ${PAVRIX_LINK_ADDRESS} --user ${PAVRIX_LINK_USER}"}},
    };
    for (const auto& [file, lines] : cases) {
        SCOPED_TRACE(file);
        std::string text = ReadFile(install.staged(file));
        for (const auto& line : lines)
            EXPECT_THAT(text, HasSubstr("\n" + line + "\n"));
        EXPECT_THAT(text, Not(HasSubstr(install.dest)));
    }
}

// systemd's own reading of the units, with the staged tree put in place as a
// package manager would unpack it (here by a link from the prefix to the stage).
TEST(Install, UnitFilesPassSystemdVerify)
{
    const std::string tool = "/usr/bin/systemd-analyze";
    if (!PathExists(tool))
        GTEST_SKIP() << "systemd-analyze is not installed";
    StagedInstall install;
    ASSERT_EQ(install.result.exitCode, 0) << install.result.err;
    ASSERT_EQ(::symlink((install.dest + install.prefix).c_str(), install.prefix.c_str()), 0);

    // A user manager of its own for the check, whatever the machine runs.
    TempDir runtime;
    const ChildProcess::Options options{.env = {{"XDG_RUNTIME_DIR", runtime.path()}}};
    for (const char* unit : {"webdav.service", "pavrix-logserver.service"}) {
        CommandResult verify = RunCommand(
            {tool, "--user", "verify", install.prefix + "/lib/systemd/user/" + unit}, options);
        EXPECT_EQ(verify.exitCode, 0) << unit << ": " << verify.err;
        // Lines systemd ignores (an unknown setting, a bad value) are only warnings.
        EXPECT_EQ(verify.err, "") << unit;
    }
}

TEST_F(Activation, ALogLineWithNoServerRunningStartsTheLogServerAndArrives)
{
    ASSERT_FALSE(ServiceRegistered(kLogServer));
    LogInit(kLogServer, "activation");

    LogRawString("first line\n");
    auto first = ServiceOwnerPid(kLogServer);
    ASSERT_TRUE(first) << "the log server was not started";
    EXPECT_EQ(std::filesystem::read_symlink("/proc/" + std::to_string(*first) + "/exe"),
              prefix_ + "/bin/pavrix-logserver");
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

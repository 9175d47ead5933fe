// cmake --install into a staging folder, as a packager runs it: every file where it
// belongs, nothing outside the prefix, and the files that name programs name them
// where they will be installed, not where they were staged.

#include "install/InstallSupport.h"
#include "platform/NamedService.h"

#include <gtest/gtest.h>
#include <gmock/gmock.h>

#include <sys/stat.h>
#include <unistd.h>

using namespace testsupport;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

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

bool IsExecutableFile(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & S_IXUSR) && (st.st_mode & S_IXOTH);
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
    EXPECT_EQ(FilesUnder(install.dest), expected);

    for (const auto& program : kPrograms)
        EXPECT_TRUE(IsExecutableFile(install.staged("bin/" + program))) << program;

    // The service files name the installed programs and the registered names.
    const std::string bin = install.prefix + "/bin/";
    const std::string logServer = platform::ServiceBusName("PavrixWMLogServer");
    const std::string monitor = platform::ServiceBusName("PavrixWMForFramework");
    // A wrong name here fails without a word: the bus simply never starts the
    // program, and the daemon's lines go to its console log. A path with the stage
    // in it names a program that will not be there.
    const struct {
        std::string file;
        std::vector<std::string> lines;
    } cases[] = {
        {"share/dbus-1/services/" + logServer + ".service",
         {"Name=" + logServer, "Exec=" + bin + "pavrix-logserver",
          "SystemdService=pavrix-logserver.service"}},
        {"share/dbus-1/services/" + monitor + ".service",
         {"Name=" + monitor, "Exec=" + bin + "pavrix-monitor"}},
        {"lib/systemd/user/pavrix-logserver.service", {"BusName=" + logServer, "ExecStart=" + bin + "pavrix-logserver"}},
        {"lib/systemd/user/webdav.service", {"ExecStart=" + bin + "webdav"}},
        {"lib/systemd/system/pavrix-linkd@.service", {"ExecStart=" + bin + "pavrix-linkd --address ${PAVRIX_LINK_ADDRESS} --user ${PAVRIX_LINK_USER}"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        std::string text = ReadFile(install.staged(c.file));
        for (const auto& line : c.lines)
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
    ChildProcess::Options options;
    options.env["XDG_RUNTIME_DIR"] = runtime.path();
    for (const char* unit : {"webdav.service", "pavrix-logserver.service"}) {
        CommandResult verify = RunCommand(
            {tool, "--user", "verify", install.prefix + "/lib/systemd/user/" + unit}, options);
        EXPECT_EQ(verify.exitCode, 0) << unit << ": " << verify.err;
        // Lines systemd ignores (an unknown setting, a bad value) are only warnings.
        EXPECT_EQ(verify.err, "") << unit;
    }
}

// webdav-start: starts the daemon the way the desktop's sync application does.
//
// It leaves the device password and address the daemon is to take over in their
// hand-off files, starts the daemon (as a child of its own, detached from the
// terminal, or as a systemd user unit), waits until the port file names the new
// process and that port is listening, and prints the port on standard output.
//
// Exit status: 0 started (the port printed); 1 usage; 2 the daemon was not started
// or did not come up in time (a started child is stopped again); 3 a daemon already
// runs for this user (its port printed, nothing written).

#include "daemon/DaemonOptions.h"
#include "daemon/HandOffFiles.h"
#include "platform/HomeFolder.h"
#include "platform/PlistObject.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iostream>
#include <optional>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

enum ExitStatus { kStarted = 0, kUsage = 1, kNotUp = 2, kAlreadyRunning = 3 };

constexpr int kDefaultTimeoutSeconds = 5;
constexpr int kMaxTimeoutSeconds = 3600;

struct Options {
    std::optional<std::string> password;
    bool passwordFromStdin = false;
    std::optional<std::string> address;
    std::optional<std::string> unit;
    std::optional<std::string> logFile;
    std::optional<std::string> daemon;
    int timeoutSeconds = kDefaultTimeoutSeconds;
    bool help = false;
};

void PrintUsage(std::FILE* to)
{
    std::fprintf(to,
                 "usage: webdav-start [--password TEXT | --password-stdin] [--address IP]\n"
                 "                    [--unit NAME | --daemon PATH] [--log FILE] [--timeout SECONDS]\n"
                 "Hands the device password and address over to the webdav daemon, starts it\n"
                 "and prints the port it listens on.\n"
                 "  --password TEXT     the device password to hand over\n"
                 "  --password-stdin    read the password from standard input (one line)\n"
                 "  --address IP        the device address to hand over\n"
                 "  --unit NAME         start the systemd user unit NAME (systemctl --user start)\n"
                 "  --daemon PATH       the daemon program to start (default: webdav beside this program),\n"
                 "                      with standard WebDAV answers unless PAVRIX_STANDARD_DAV=0 is set\n"
                 "  --log FILE          append the daemon's console log to FILE (started directly)\n"
                 "  --timeout SECONDS   how long to wait for the daemon (default %d)\n"
                 "Exit status: 0 started, 1 usage, 2 not started in time, 3 already running.\n",
                 kDefaultTimeoutSeconds);
}

std::optional<int> ParseSeconds(const std::string& text)
{
    if (text.empty() || text.size() > 4 || text.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    int value = std::stoi(text);
    if (value < 1 || value > kMaxTimeoutSeconds)
        return std::nullopt;
    return value;
}

// The options, or none after printing what is wrong.
std::optional<Options> ParseOptions(int argc, char** argv)
{
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            options.help = true;
            continue;
        }
        if (arg == "--password-stdin") {
            options.passwordFromStdin = true;
            continue;
        }
        std::optional<std::string>* target = arg == "--password" ? &options.password
                                              : arg == "--address" ? &options.address
                                              : arg == "--unit"    ? &options.unit
                                              : arg == "--daemon"  ? &options.daemon
                                              : arg == "--log"     ? &options.logFile
                                                                   : nullptr;
        if (!target && arg != "--timeout") {
            std::fprintf(stderr, "webdav-start: unknown option '%s'\n", arg.c_str());
            return std::nullopt;
        }
        if (i + 1 >= argc) {
            std::fprintf(stderr, "webdav-start: %s needs a value\n", arg.c_str());
            return std::nullopt;
        }
        const std::string value = argv[++i];
        if (target) {
            *target = value;
            continue;
        }
        auto seconds = ParseSeconds(value);
        if (!seconds) {
            std::fprintf(stderr, "webdav-start: --timeout takes whole seconds from 1 to %d\n", kMaxTimeoutSeconds);
            return std::nullopt;
        }
        options.timeoutSeconds = *seconds;
    }
    if (options.password && options.passwordFromStdin) {
        std::fprintf(stderr, "webdav-start: give the password either with --password or on standard input\n");
        return std::nullopt;
    }
    if (options.unit && (options.daemon || options.logFile)) {
        std::fprintf(stderr, "webdav-start: --daemon and --log apply to a daemon started directly, not a unit\n");
        return std::nullopt;
    }
    return options;
}

// The first line of standard input, without its line end.
std::string ReadPasswordLine()
{
    std::string line;
    std::getline(std::cin, line);
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return line;
}

// Only the user may read what is handed over: the password file holds a secret.
bool WriteHandOffFile(const std::string& path, const char* key, const platform::PlistObject& value)
{
    auto dict = platform::PlistObject::dictionary();
    dict.set(key, value);
    mode_t previous = ::umask(077);
    bool written = dict.writeAtomically(path);
    ::umask(previous);
    if (!written)
        std::fprintf(stderr, "webdav-start: cannot write %s\n", path.c_str());
    return written;
}

// The user's home folder, where the hand-off files are: as the daemon started
// from this environment will take it.
std::string Home() { return DaemonOptions::fromEnvironment().homeFolder; }

bool WriteHandOffFiles(const Options& options, const std::optional<std::string>& password)
{
    platform::CreateFolderWithParents(HandOffFolder(Home()));
    if (password) {
        std::vector<uint8_t> bytes(password->begin(), password->end());
        if (!WriteHandOffFile(PasswordFilePath(Home()), kPasswordKey, platform::PlistObject::data(bytes)))
            return false;
    }
    if (options.address && !WriteHandOffFile(AddressFilePath(Home()), kAddressKey, platform::PlistObject::string(*options.address)))
        return false;
    return true;
}

struct Recorded {
    pid_t pid;
    int port;
};

// What the port file says: the port and process of the daemon that last started.
std::optional<Recorded> RecordedDaemon()
{
    auto dict = platform::PlistObject::loadDictionary(PortFilePath(Home()));
    if (!dict)
        return std::nullopt;
    auto port = dict->getInteger(kPortKey);
    auto pid = dict->getInteger(kPIDKey);
    if (!port || !pid || *port <= 0 || *port > 65535 || *pid <= 0)
        return std::nullopt;
    return Recorded{static_cast<pid_t>(*pid), static_cast<int>(*port)};
}

// Whether an IPv4 socket listens on the port. The daemon records its port just
// before it listens; a probe connection would cost the daemon, which serves one
// connection at a time, an accept, so the kernel's table is asked instead.
bool IsListening(int port)
{
    std::ifstream table("/proc/net/tcp");
    std::string line;
    std::getline(table, line); // the column titles
    char wanted[8];
    std::snprintf(wanted, sizeof wanted, ":%04X", port);
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state;
        fields >> slot >> local >> remote >> state;
        if (state == "0A" && local.size() > 5 && local.compare(local.size() - 5, 5, wanted) == 0)
            return true;
    }
    return false;
}

bool IsDaemonProcess(pid_t pid)
{
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(comm, name);
    return name == "webdav";
}

std::optional<Recorded> RunningDaemon()
{
    auto recorded = RecordedDaemon();
    if (recorded && IsDaemonProcess(recorded->pid) && IsListening(recorded->port))
        return recorded;
    return std::nullopt;
}

std::string DaemonBesideLauncher()
{
    std::vector<char> self(4096);
    ssize_t n = ::readlink("/proc/self/exe", self.data(), self.size() - 1);
    std::string path = n > 0 ? std::string(self.data(), static_cast<size_t>(n)) : std::string();
    auto slash = path.rfind('/');
    return (slash == std::string::npos ? std::string(".") : path.substr(0, slash)) + "/webdav";
}

// Starts a program with the launcher's environment and standard input from
// /dev/null; its standard output to `outFd` (or /dev/null), standard error to
// `errFile` (appended) or the launcher's. A session of its own when `detach`.
std::optional<pid_t> Spawn(const std::vector<std::string>& argv, int outFd, const std::optional<std::string>& errFile,
                           bool detach)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (outFd >= 0)
        posix_spawn_file_actions_adddup2(&actions, outFd, STDOUT_FILENO);
    else
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    if (errFile)
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errFile->c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                         0600);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    if (detach)
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID);
    std::vector<std::string> args = argv;
    std::vector<char*> argvp;
    for (auto& a : args)
        argvp.push_back(a.data());
    argvp.push_back(nullptr);
    pid_t pid = -1;
    int rc = posix_spawnp(&pid, argvp[0], &actions, &attr, argvp.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) {
        std::fprintf(stderr, "webdav-start: cannot start %s: %s\n", argv[0].c_str(), std::strerror(rc));
        return std::nullopt;
    }
    return pid;
}

int WaitStatus(pid_t pid)
{
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

std::string DescribeStatus(int status)
{
    if (WIFEXITED(status))
        return "exited with status " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status))
        return std::string("ended by signal ") + strsignal(WTERMSIG(status));
    return "ended";
}

// Runs systemctl for the user's service manager; its standard output, or none when
// it failed (its own message is on standard error).
std::optional<std::string> Systemctl(const std::vector<std::string>& args)
{
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0)
        return std::nullopt;
    std::vector<std::string> argv{"systemctl", "--user"};
    argv.insert(argv.end(), args.begin(), args.end());
    auto pid = Spawn(argv, out[1], std::nullopt, false);
    ::close(out[1]);
    std::string text;
    char buf[256];
    ssize_t n;
    while ((n = ::read(out[0], buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR))
        if (n > 0)
            text.append(buf, static_cast<size_t>(n));
    ::close(out[0]);
    if (!pid)
        return std::nullopt;
    int status = WaitStatus(*pid);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return std::nullopt;
    return text;
}

pid_t UnitMainPid(const std::string& unit)
{
    auto text = Systemctl({"show", "--property=MainPID", "--value", unit});
    return text ? static_cast<pid_t>(std::atol(text->c_str())) : 0;
}

int Launch(const Options& options)
{
    if (auto running = RunningDaemon()) {
        std::fprintf(stderr, "webdav-start: webdav is already running (pid %d) on port %d\n",
                     static_cast<int>(running->pid), running->port);
        std::printf("%d\n", running->port);
        return kAlreadyRunning;
    }
    std::optional<std::string> password = options.password;
    if (options.passwordFromStdin)
        password = ReadPasswordLine();
    if (!WriteHandOffFiles(options, password))
        return kNotUp;

    std::optional<pid_t> child;
    if (options.unit) {
        if (!Systemctl({"start", *options.unit})) {
            std::fprintf(stderr, "webdav-start: systemctl --user start %s failed\n", options.unit->c_str());
            return kNotUp;
        }
    } else {
        // The desktop's clients need the standard answers; PAVRIX_STANDARD_DAV=0
        // in the launcher's environment keeps the daemon's own.
        ::setenv("PAVRIX_STANDARD_DAV", "1", 0);
        child = Spawn({options.daemon.value_or(DaemonBesideLauncher())}, -1, options.logFile, true);
        if (!child)
            return kNotUp;
    }

    const auto poll = std::chrono::milliseconds(options.unit ? 100 : 20);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(options.timeoutSeconds);
    for (;;) {
        int status = 0;
        if (child && ::waitpid(*child, &status, WNOHANG) == *child) {
            std::fprintf(stderr, "webdav-start: webdav %s before it listened%s%s\n", DescribeStatus(status).c_str(),
                         options.logFile ? "; see " : "", options.logFile ? options.logFile->c_str() : "");
            return kNotUp;
        }
        pid_t pid = child ? *child : UnitMainPid(*options.unit);
        auto recorded = RecordedDaemon();
        if (pid > 0 && recorded && recorded->pid == pid && IsListening(recorded->port)) {
            std::printf("%d\n", recorded->port);
            return kStarted;
        }
        if (std::chrono::steady_clock::now() >= deadline)
            break;
        std::this_thread::sleep_for(poll);
    }
    if (child) {
        ::kill(*child, SIGTERM);
        WaitStatus(*child);
        std::fprintf(stderr, "webdav-start: webdav (pid %d) did not come up within %d s; stopped it\n",
                     static_cast<int>(*child), options.timeoutSeconds);
    } else {
        std::fprintf(stderr, "webdav-start: unit %s did not come up within %d s; see journalctl --user -u %s\n",
                     options.unit->c_str(), options.timeoutSeconds, options.unit->c_str());
    }
    return kNotUp;
}

} // namespace

int main(int argc, char** argv)
{
    auto options = ParseOptions(argc, argv);
    if (!options) {
        PrintUsage(stderr);
        return kUsage;
    }
    if (options->help) {
        PrintUsage(stdout);
        return kStarted;
    }
    return Launch(*options);
}

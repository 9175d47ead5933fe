#include "support/TestSupport.h"

#include "platform/NamedService.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <random>
#include <regex>
#include <spawn.h>
#include <iterator>
#include <stdexcept>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace testsupport {

namespace fs = std::filesystem;

TempDir::TempDir()
{
    path_ = (fs::temp_directory_path() / "pavrix-test-XXXXXX").string();
    if (!mkdtemp(path_.data()))
        throw std::runtime_error("mkdtemp failed");
}

TempDir::~TempDir() { RemoveTree(path_); }

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

void WriteFile(const std::string& path, const std::string& content)
{
    std::error_code ignored; // a folder that cannot be made shows as a file not written
    fs::create_directories(fs::path(path).parent_path(), ignored);
    std::ofstream(path, std::ios::binary) << content;
}

void SparseFile(const std::string& path, uint64_t size, const std::string& tail)
{
    WriteFile(path, "");
    fs::resize_file(path, size - tail.size());
    std::ofstream(path, std::ios::binary | std::ios::app) << tail;
}

DeviceFolder::DeviceFolder() { MakeDirs(fs()); }

void RemoveTree(const std::string& path)
{
    std::error_code ec;
    // Tests may leave read-only folders behind; make them writable first.
    for (auto it = fs::recursive_directory_iterator(path, fs::directory_options::skip_permission_denied, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (it->is_directory(ec) && !it->is_symlink(ec))
            ::chmod(it->path().c_str(), 0755);
    }
    ::chmod(path.c_str(), 0755);
    fs::remove_all(path, ec);
}

bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return condition();
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const Options& options)
{
    // This process's environment, less the entries the options name, plus those set.
    std::vector<std::string> env, args = argv;
    for (char** e = environ; *e; ++e)
        if (std::string entry = *e; !options.env.count(entry.substr(0, entry.find('='))))
            env.push_back(entry);
    for (const auto& [key, value] : options.env)
        if (value)
            env.push_back(key + "=" + *value);
    auto pointers = [](std::vector<std::string>& strings) {
        std::vector<char*> out;
        for (auto& s : strings)
            out.push_back(s.data());
        out.push_back(nullptr);
        return out;
    };
    std::vector<char*> envp = pointers(env), argvp = pointers(args);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO,
                                     options.stdinFile.empty() ? "/dev/null" : options.stdinFile.c_str(), O_RDONLY, 0);
    if (!options.stdoutFile.empty())
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, options.stdoutFile.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (!options.stderrFile.empty())
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, options.stderrFile.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
    // The child gets only its three standard streams: descriptors the test runner
    // or the test itself holds (sockets, pipes) must not leak into it.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    // Children start with default signal handling whatever the test runner set.
    sigset_t all;
    sigfillset(&all);
    posix_spawnattr_setsigdefault(&attr, &all);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    int rc = posix_spawn(&pid_, argvp[0], &actions, &attr, argvp.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (rc != 0)
        throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(rc));
}

ChildProcess ChildProcess::Adopt(pid_t pid)
{
    ChildProcess process;
    process.pid_ = pid;
    return process;
}

bool CanLockExclusively(const std::string& path)
{
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    bool taken = fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    if (fd >= 0)
        ::close(fd);
    return taken;
}

ChildProcess HoldFile(const std::string& path, bool shared)
{
    ChildProcess holder({"/usr/bin/flock", "--no-fork", shared ? "-s" : "-x", path, "sleep", "600"}, {});
    bool held = WaitFor([&] { return !CanLockExclusively(path); });
    if (!held)
        throw std::runtime_error(path + " was never held");
    return holder;
}

ChildProcess::~ChildProcess()
{
    if (pid_ > 0 && !status_)
        ::kill(pid_, SIGKILL), ::waitpid(pid_, nullptr, 0);
}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept
{
    std::swap(pid_, other.pid_);
    std::swap(status_, other.status_);
    return *this;
}

bool ChildProcess::running() { return pid_ > 0 && !waitExit(std::chrono::milliseconds(0)); }

void ChildProcess::signal(int sig)
{
    if (pid_ > 0 && !status_)
        ::kill(pid_, sig);
}

std::optional<int> ChildProcess::waitExit(std::chrono::milliseconds timeout)
{
    int st = 0;
    if (!status_ && pid_ > 0 && WaitFor([&] { return ::waitpid(pid_, &st, WNOHANG) == pid_; }, timeout))
        status_ = st;
    return status_;
}

int ChildProcess::stop()
{
    if (pid_ <= 0)
        return -1;
    signal(SIGTERM);
    if (auto st = waitExit(std::chrono::seconds(5)))
        return *st;
    signal(SIGKILL);
    return waitExit(std::chrono::seconds(5)).value_or(-1);
}

CommandResult RunCommand(const std::vector<std::string>& argv, ChildProcess::Options options,
                         std::chrono::milliseconds timeout)
{
    TempDir scratch;
    options.stdoutFile = scratch / "out";
    options.stderrFile = scratch / "err";
    CommandResult result;
    {
        ChildProcess process(argv, options);
        auto status = process.waitExit(timeout);
        if (!status)
            process.stop();
        else if (WIFEXITED(*status))
            result.exitCode = WEXITSTATUS(*status);
    }
    result.out = ReadFile(scratch / "out");
    result.err = ReadFile(scratch / "err");
    return result;
}

PrivateBus::PrivateBus(const std::vector<std::string>& serviceDirs)
{
    if (const char* prev = std::getenv("DBUS_SESSION_BUS_ADDRESS"))
        previous_ = prev;
    std::string dirs;
    for (const auto& dir : serviceDirs)
        dirs += "<servicedir>" + dir + "</servicedir>";
    const std::string configFile = config_ / "session.conf";
    WriteFile(configFile, "<busconfig><type>session</type><keep_umask/><listen>unix:tmpdir=/tmp</listen>"
                          "<auth>EXTERNAL</auth>" + dirs + "<policy context=\"default\"><allow send_destination=\"*\" "
                          "eavesdrop=\"true\"/><allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>\n");
    std::string addressFile = config_ / "address";
    daemon_ = ChildProcess({"/usr/bin/dbus-daemon", "--config-file=" + configFile, "--nofork", "--nopidfile",
                            "--print-address=1"},
                           {.stdoutFile = addressFile});
    if (!WaitFor([&] { return ReadFile(addressFile).find('\n') != std::string::npos; }))
        throw std::runtime_error("private session bus did not start");
    address_ = ReadFile(addressFile);
    address_.resize(address_.find('\n'));
    ::setenv("DBUS_SESSION_BUS_ADDRESS", address_.c_str(), 1);
}

PrivateBus::~PrivateBus()
{
    daemon_.stop();
    if (previous_)
        ::setenv("DBUS_SESSION_BUS_ADDRESS", previous_->c_str(), 1);
    else
        ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
}

bool ServiceRegistered(const std::string& registeredName)
{
    return platform::ServiceProxy::lookUp(registeredName, "Probe", platform::ServiceProxy::Activation::never) !=
           nullptr;
}

std::optional<pid_t> ServiceOwnerPid(const std::string& registeredName)
{
    return BusNameOwnerPid(platform::ServiceBusName(registeredName));
}

std::optional<pid_t> BusNameOwnerPid(const std::string& busName)
{
    try {
        auto connection = sdbus::createSessionBusConnection();
        auto bus = sdbus::createProxy(*connection, "org.freedesktop.DBus", "/org/freedesktop/DBus");
        uint32_t pid = 0;
        bus->callMethod("GetConnectionUnixProcessID")
            .onInterface("org.freedesktop.DBus")
            .withArguments(busName)
            .storeResultsTo(pid);
        return static_cast<pid_t>(pid);
    } catch (const sdbus::Error&) {
        return std::nullopt;
    }
}

ChildProcess StartService(const std::vector<std::string>& argv, const std::string& registeredName,
                          const ChildProcess::Options& options)
{
    ChildProcess process(argv, options);
    if (!WaitFor([&] { return ServiceRegistered(registeredName); }))
        throw std::runtime_error(argv[0] + " did not register " + registeredName);
    return process;
}

LoopbackPort::LoopbackPort(bool datagram) : fd(::socket(AF_INET, datagram ? SOCK_DGRAM : SOCK_STREAM, 0))
{
    sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof addr;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), length) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length) == 0 && (datagram || ::listen(fd, 1) == 0))
        port = ntohs(addr.sin_port);
}

LoopbackPort::~LoopbackPort() { ::close(fd); }

int ConnectLoopback(int port)
{
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return -1;
    sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

void SendAll(int fd, const std::string& bytes)
{
    size_t off = 0;
    while (off < bytes.size()) {
        ssize_t n = ::send(fd, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        off += static_cast<size_t>(n);
    }
}

std::string ReadUntilClose(int fd, std::chrono::milliseconds timeout)
{
    std::string out;
    char buf[65536];
    for (;;) {
        struct pollfd pfd {fd, POLLIN, 0};
        int r = ::poll(&pfd, 1, static_cast<int>(timeout.count()));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            break;
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        out.append(buf, static_cast<size_t>(n));
    }
    return out;
}

std::string Exchange(int port, const std::string& request, std::chrono::milliseconds timeout)
{
    int fd = ConnectLoopback(port);
    if (fd < 0)
        return {};
    SendAll(fd, request);
    ::shutdown(fd, SHUT_WR);
    std::string out = ReadUntilClose(fd, timeout);
    ::close(fd);
    return out;
}

SocketPair::SocketPair()
{
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
        throw std::runtime_error("no socket pair");
    peer = fds[0];
    ours = fds[1];
}

void SocketPair::sendAndEnd(const std::string& bytes) const
{
    SendAll(peer, bytes);
    ::shutdown(peer, SHUT_WR);
}

size_t CountOf(const std::string& text, const std::string& needle)
{
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        ++n;
    return n;
}

long ProcStatusKiB(pid_t pid, const std::string& field)
{
    std::string status = ReadFile("/proc/" + std::to_string(pid) + "/status");
    size_t at = status.find("\n" + field + ":");
    return at == std::string::npos ? -1 : std::stol(status.substr(at + field.size() + 2));
}

std::string RandomBytes(size_t size, unsigned seed)
{
    std::string bytes(size, '\0');
    std::mt19937 random(seed);
    for (auto& c : bytes)
        c = static_cast<char>(random());
    return bytes;
}

std::optional<std::string> Response::header(const std::string& name) const
{
    for (const auto& [key, value] : headers)
        if (strcasecmp(key.c_str(), name.c_str()) == 0)
            return value;
    return std::nullopt;
}

int Response::status() const
{
    auto sp = statusLine.find(' ');
    return sp == std::string::npos ? -1 : std::atoi(statusLine.c_str() + sp + 1);
}

Response ParseResponse(const std::string& raw)
{
    Response r;
    size_t end = raw.find("\r\n");
    r.statusLine = raw.substr(0, end);
    for (size_t pos = end + 2; end != std::string::npos; pos = end + 2) {
        if ((end = raw.find("\r\n", pos)) == std::string::npos)
            break; // a head cut short
        if (end == pos) {
            r.body = raw.substr(end + 2);
            break;
        }
        std::string line = raw.substr(pos, end - pos);
        auto colon = line.find(": ");
        r.headers.emplace_back(line.substr(0, colon), colon == std::string::npos ? "" : line.substr(colon + 2));
    }
    return r;
}

std::map<std::string, std::optional<std::string>> NoBusEnv(bool debugLines)
{
    return {{"DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/bus"},
            {"XDG_RUNTIME_DIR", std::nullopt},
            {"PAVRIX_DEVICE", std::nullopt},
            {"PAVRIX_LOG_DEBUG", debugLines ? std::optional<std::string>("1") : std::nullopt}};
}

Daemon::Daemon(const std::string& home, std::map<std::string, std::optional<std::string>> env,
               std::vector<std::string> args)
{
    stderrFile_ = home + "/.webdav-stderr.log";
    env["HOME"] = home;
    args.insert(args.begin(), BinPath("webdav"));
    process_ = ChildProcess(args, {.env = std::move(env), .stderrFile = stderrFile_});
    static const std::regex listening("listening on ([0-9]+)");
    WaitFor([&] {
        std::smatch m;
        std::string text = ReadFile(stderrFile_);
        if (std::regex_search(text, m, listening)) {
            port_ = std::stoi(m[1]);
            return true;
        }
        return !process_.running();
    });
    if (port_ < 0)
        throw std::runtime_error("daemon did not start listening: " + ReadFile(stderrFile_));
}

Daemon::~Daemon() { process_.stop(); }

std::string Daemon::stderrText() const { return ReadFile(stderrFile_); }

} // namespace testsupport

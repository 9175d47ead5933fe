#pragma once

// Helpers shared by the tests: temporary folders, real child processes (the
// daemon, the server programs, a private session bus) and raw loopback clients.

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

namespace testsupport {

inline std::string BinPath(const std::string& program) { return std::string(PAVRIX_BIN_DIR) + "/" + program; }
inline std::string SourcePath(const std::string& relative) { return std::string(PAVRIX_SOURCE_DIR) + "/" + relative; }

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& relative) const { return path_ + "/" + relative; }

private:
    std::string path_;
};

std::string ReadFile(const std::string& path);
// Makes the file's missing folders first.
void WriteFile(const std::string& path, const std::string& content);
// A link counts as itself, whatever it points to.
inline bool PathExists(const std::string& path)
{
    std::error_code unreadable;
    return std::filesystem::exists(std::filesystem::symlink_status(path, unreadable));
}
inline bool IsDirectory(const std::string& path)
{
    std::error_code unreadable;
    return std::filesystem::is_directory(path, unreadable);
}
inline void MakeDirs(const std::string& path) { std::filesystem::create_directories(path); }
// A sparse file of `size` bytes whose last bytes are `tail`.
void SparseFile(const std::string& path, uint64_t size, const std::string& tail);
void RemoveTree(const std::string& path);

// An emulated device's folder for one test, its files under fs/ (made empty).
class DeviceFolder {
public:
    DeviceFolder();
    const std::string& path() const { return temp_.path(); }
    std::string operator/(const std::string& relative) const { return temp_ / relative; }
    // Host path of a file under fs/ ("a/b.txt").
    std::string fs(const std::string& relative = "") const { return temp_ / ("fs/" + relative); }
    void put(const std::string& relative, const std::string& content) const { WriteFile(fs(relative), content); }

private:
    TempDir temp_;
};

// Polls `condition` every 20 ms until it holds or `timeout` passes.
bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout = std::chrono::seconds(10));

// A child process started with an argument vector (no shell). Environment entries
// in `env` are added to (or, with an empty optional, removed from) this process's
// environment. Standard output and error go to the named files when given.
class ChildProcess {
public:
    struct Options {
        std::map<std::string, std::optional<std::string>> env = {};
        std::string stdoutFile = {};
        std::string stderrFile = {};
        std::string stdinFile = {}; // default: /dev/null
    };
    ChildProcess() = default;
    ChildProcess(const std::vector<std::string>& argv, const Options& options);
    // Takes over a process that became this one's child: an orphan of a child, when
    // this process is its children's subreaper.
    static ChildProcess Adopt(pid_t pid);
    ~ChildProcess();
    ChildProcess(ChildProcess&& other) noexcept { *this = std::move(other); }
    ChildProcess& operator=(ChildProcess&& other) noexcept;

    pid_t pid() const { return pid_; }
    bool running();
    void signal(int sig);
    // Sends SIGTERM (then SIGKILL after 5 s) and reaps; returns the wait status.
    int stop();
    // Waits up to `timeout` for the process to end by itself; its wait status, or
    // none when it is still running.
    std::optional<int> waitExit(std::chrono::milliseconds timeout);

private:
    pid_t pid_ = -1;
    std::optional<int> status_;
};

// Another process holding an exclusive flock(2) on the file, as a program keeping
// it open (a shared one with `shared`); it lets go when the returned process is
// stopped or destroyed.
ChildProcess HoldFile(const std::string& path, bool shared = false);
// Whether this process can take an exclusive lock on the file now (and let it go).
bool CanLockExclusively(const std::string& path);


// Runs a program to its end (killed after `timeout`) and collects its output.
struct CommandResult {
    std::optional<int> exitCode; // none when it did not exit normally in time
    std::string out;
    std::string err;
};
CommandResult RunCommand(const std::vector<std::string>& argv, ChildProcess::Options options = {},
                         std::chrono::milliseconds timeout = std::chrono::seconds(60));

// A private session bus for one test; its address is put into this process's
// DBUS_SESSION_BUS_ADDRESS while it lives. It starts services on request only from
// the given folders of D-Bus service files: services installed on the machine never
// answer for a test.
class PrivateBus {
public:
    explicit PrivateBus(const std::vector<std::string>& serviceDirs = {});
    ~PrivateBus();
    const std::string& address() const { return address_; }

private:
    TempDir config_;
    ChildProcess daemon_;
    std::string address_;
    std::optional<std::string> previous_;
};

// Starts a server program (pavrix-logserver, ...) on the current bus and waits
// until its name is registered.
ChildProcess StartService(const std::vector<std::string>& argv, const std::string& registeredName,
                          const ChildProcess::Options& options = {});
// Whether someone holds the name now; never asks the bus to start a service.
bool ServiceRegistered(const std::string& registeredName);
// The process holding the name on the current bus, if any.
std::optional<pid_t> ServiceOwnerPid(const std::string& registeredName);
// The process holding a bus name as it is spelt on the bus (another program's).
std::optional<pid_t> BusNameOwnerPid(const std::string& busName);

// A socket on a free loopback port, listening (or, when `datagram`, UDP); closed
// when it goes, which leaves the port free.
struct LoopbackPort {
    explicit LoopbackPort(bool datagram = false);
    ~LoopbackPort();
    int fd = -1, port = 0;
};

// Loopback clients.
int ConnectLoopback(int port);
void SendAll(int fd, const std::string& bytes);
// Everything the peer sends until it closes (or `timeout` passes without data).
std::string ReadUntilClose(int fd, std::chrono::milliseconds timeout = std::chrono::seconds(15));
// One connection: sends the bytes, ends the client's stream, and reads until the
// daemon closes (or `timeout` passes without data).
std::string Exchange(int port, const std::string& request,
                     std::chrono::milliseconds timeout = std::chrono::seconds(15));

// A connected pair of local stream sockets: the test speaks as the peer on `peer`,
// the code under test has `ours`. Neither is closed here.
struct SocketPair {
    int peer = -1, ours = -1;
    SocketPair();
    // Sends the bytes and ends the peer's stream.
    void sendAndEnd(const std::string& bytes) const;
};

// Binary content any text conversion on the way would damage; the same for one seed.
std::string RandomBytes(size_t size, unsigned seed);
// How many times `needle` starts in `text`, overlapping ones included.
size_t CountOf(const std::string& text, const std::string& needle);
// A KiB figure of /proc/<pid>/status ("VmRSS", "VmHWM"); -1 when there is none.
long ProcStatusKiB(pid_t pid, const std::string& field);

// A parsed HTTP answer.
struct Response {
    std::string statusLine;
    std::vector<std::pair<std::string, std::string>> headers; // in order, as sent
    std::string body;
    std::optional<std::string> header(const std::string& name) const;
    int status() const;
};
Response ParseResponse(const std::string& raw);

// For a daemon that finds no session bus, so that every log line reaches its
// standard error, and no device unless one is named.
std::map<std::string, std::optional<std::string>> NoBusEnv(bool debugLines = false);

// build/bin/webdav with a HOME of its own, waited for until "listening on N".
class Daemon {
public:
    explicit Daemon(const std::string& home, std::map<std::string, std::optional<std::string>> env = {},
                    std::vector<std::string> args = {});
    ~Daemon();
    int port() const { return port_; }
    pid_t pid() const { return process_.pid(); }
    std::string stderrText() const;
    ChildProcess& process() { return process_; }
    std::string request(const std::string& raw) const { return Exchange(port_, raw); }

private:
    std::string stderrFile_;
    ChildProcess process_;
    int port_ = -1;
};

} // namespace testsupport

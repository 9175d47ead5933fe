// A request as any client may send it (line, headers, body, chunked or not, cut
// anywhere) served as the daemon serves a connection, over a socket pair, by the
// device store of an emulated device. Properties:
//   the answer is nothing, an interim "100 Continue" followed by an answer, or an
//     answer whose status line has a three-digit code;
//   a change (PUT, DELETE, MKCOL, MOVE) whose head did not arrive whole, or went
//     past the head's limits, changes nothing on the device or in the mirror, and
//     is refused with 400, 414 or 431;
//   nothing outside the device folder and the mirror changes.

#include "FuzzSupport.h"

#include "daemon/Server.h"
#include "device/WinceDataSource.h"
#include "pavrixwm/EmulatedDevice.h"

#include <filesystem>
#include <map>
#include <regex>
#include <sys/socket.h>
#include <unistd.h>

namespace {

namespace fsys = std::filesystem;

struct World {
    std::string root = fuzzsupport::ScratchFolder();
    std::string device = root + "/device";
    std::string mirror = root + "/mirror";
    std::unique_ptr<Rapi> session;
    std::shared_ptr<WinceDataSource> store;
    World()
    {
        reset();
        WriteFile(root + "/outside.txt", "outside");
        session = std::make_unique<Rapi>(std::make_shared<FaultInjectingDevice>(EmulatedDevice::open(device)));
        store = std::make_shared<WinceDataSource>(*session, mirror);
    }
    void reset()
    {
        std::error_code ec;
        fsys::remove_all(device + "/fs", ec);
        fsys::remove_all(mirror, ec);
        fsys::create_directories(device + "/fs/Docs");
        fsys::create_directories(mirror);
        WriteFile(device + "/fs/Docs/a.txt", "a");
    }
    static void WriteFile(const std::string& path, const std::string& text)
    {
        FILE* f = std::fopen(path.c_str(), "wb");
        std::fwrite(text.data(), 1, text.size(), f);
        std::fclose(f);
    }
    // Every file and folder under the scratch root, with its size.
    std::map<std::string, uintmax_t> tree() const
    {
        std::map<std::string, uintmax_t> out;
        std::error_code ec;
        for (auto it = fsys::recursive_directory_iterator(root, ec); !ec && it != fsys::recursive_directory_iterator();
             it.increment(ec))
            out[it->path().string()] = it->is_regular_file() ? it->file_size() : 0;
        return out;
    }
};

bool IsChange(const std::string& request)
{
    for (const char* method : {"PUT ", "DELETE ", "MKCOL ", "MOVE "})
        if (request.rfind(method, 0) == 0)
            return true;
    return false;
}

// Whether the head ended: a blank line after the request line, with every line
// within the 1023 bytes the daemon reads of one, and the whole head within the
// daemon's limits (256 header lines, 64 KiB before its last line).
bool HeadWhole(const std::string& request)
{
    const ConnectionLimits limits;
    size_t start = 0;
    for (size_t lines = 0;; ++lines) {
        size_t end = request.find('\n', start);
        if (end == std::string::npos || end - start >= 1023 || lines > limits.headLines || start >= limits.headBytes)
            return false;
        std::string line = request.substr(start, end - start);
        if (start > 0 && (line.empty() || line == "\r"))
            return true;
        start = end + 1;
    }
}

int StatusOf(const std::string& answer)
{
    static const std::regex status("^HTTP/1\\.1 ([0-9]{3}) ");
    std::smatch m;
    return std::regex_search(answer, m, status) ? std::stoi(m[1]) : -1;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static World world;
    const std::string request(reinterpret_cast<const char*>(data), size);
    auto before = world.tree();
    if (before.size() > 64) {
        // What earlier runs made goes, so that each run walks a small tree.
        world.reset();
        before = world.tree();
    }

    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0)
        return 0;
    int big = 1 << 20;
    ::setsockopt(fds[0], SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    ::setsockopt(fds[1], SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
    size_t sent = 0;
    while (sent < request.size()) {
        ssize_t n = ::send(fds[0], request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            break;
        sent += static_cast<size_t>(n);
    }
    ::shutdown(fds[0], SHUT_WR);
    // Short limits: an answer the pair cannot hold fails its write instead of
    // waiting for a reader that comes only afterwards.
    ConnectionLimits limits;
    limits.requestHead = std::chrono::milliseconds(500);
    limits.stall = std::chrono::milliseconds(50);
    ServeConnection(fds[1], *world.store, limits, std::chrono::steady_clock::now());
    std::string answer;
    char buffer[65536];
    for (ssize_t n; (n = ::recv(fds[0], buffer, sizeof buffer, MSG_DONTWAIT)) > 0;)
        answer.append(buffer, static_cast<size_t>(n));
    ::close(fds[0]);

    if (answer.rfind("HTTP/1.1 100 Continue\r\n\r\n", 0) == 0)
        answer.erase(0, 25);
    FUZZ_CHECK(answer.empty() || StatusOf(answer) >= 100);
    auto after = world.tree();
    if (IsChange(request) && !HeadWhole(request)) {
        int status = StatusOf(answer);
        FUZZ_CHECK(answer.empty() || status == 400 || status == 414 || status == 431);
        FUZZ_CHECK(after == before);
    }
    FUZZ_CHECK(after.count(world.root + "/outside.txt") && after[world.root + "/outside.txt"] == 7);
    return 0;
}

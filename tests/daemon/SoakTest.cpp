// A soak: 20,000 sequential requests of every kind against one daemon on the sample
// device. Every answer is checked, and the daemon ends with the descriptors it had
// and without having grown.

#include "RealClientsFixture.h"

#include <dirent.h>
#include <sys/socket.h>
#include <unistd.h>
#include <functional>
#include <thread>

using namespace realclients;

namespace {

// After the daemon has let go of the last connection, which it closes a moment
// after the client has read the answer.
size_t OpenDescriptors(pid_t pid)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    size_t count = 0;
    DIR* dir = ::opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    while (dir && ::readdir(dir))
        ++count;
    if (dir)
        ::closedir(dir);
    return count;
}

long ResidentKiB(pid_t pid)
{
    std::string status = ReadFile("/proc/" + std::to_string(pid) + "/status");
    size_t at = status.find("VmRSS:");
    return at == std::string::npos ? -1 : std::stol(status.substr(at + 6));
}

// One connection: the bytes, the end of the client's stream, the whole answer.
std::string SendAndEnd(int port, const std::string& bytes)
{
    int fd = ConnectLoopback(port);
    SendAll(fd, bytes);
    ::shutdown(fd, SHUT_WR);
    std::string answer = ReadUntilClose(fd);
    ::close(fd);
    return answer;
}

std::string Head(const std::string& method, const std::string& uri, const std::string& extra = "")
{
    return method + " " + uri + " HTTP/1.1\r\nHost: soak\r\n" + extra + "\r\n";
}

} // namespace

TEST_F(RealClients, SoakOfTwentyThousandMixedRequests)
{
    const std::string props = "<propfind><prop><resourcetype/><getcontentlength/></prop></propfind>";
    struct Kind {
        const char* what;
        std::function<std::string(int)> request; // by the request's number
        int status;
    };
    const std::vector<Kind> kinds{
        {"listing", [&](int) { return Head("PROPFIND", "/Device/My%20Documents/", "Depth: 1\r\nContent-Length: " +
                                                                                      std::to_string(props.size()) + "\r\n") + props; },
         207},
        {"GET", [](int) { return Head("GET", "/Device/My%20Documents/Notes.txt"); }, 200},
        {"PUT", [](int n) { return Head("PUT", "/Device/Storage%20Card/soak" + std::to_string(n % 7) + ".txt",
                                        "Content-Length: 5\r\n") + "hello"; },
         201},
        {"metafile PUT", [](int n) { return Head("PUT", "/Device/._soak" + std::to_string(n % 5), "Content-Length: 4\r\n") + "meta"; },
         201},
        {"metafile GET", [](int) { return Head("GET", "/Device/._soak0"); }, 200},
        {"MOVE", [](int n) {
             return Head("MOVE", "/Device/Storage%20Card/soak" + std::to_string(n % 7) + ".txt",
                         "Destination: http://h/Device/Storage%20Card/moved" + std::to_string(n % 3) + ".txt\r\n");
         },
         201},
        {"DELETE", [](int n) { return Head("DELETE", "/Device/Storage%20Card/moved" + std::to_string(n % 3) + ".txt"); },
         204},
        {"missing", [](int) { return Head("GET", "/Device/nothing/here.txt"); }, 404},
        {"not UTF-8", [](int) { return Head("DELETE", "/Device/caf%E9.txt"); }, 400},
        {"cut head", [](int) { return std::string("PUT /Device/cut.txt HTTP/1.1\r\nContent-Length: 3\r\n"); }, 400},
        {"huge length", [](int) { return Head("PUT", "/Device/._huge", "Content-Length: 99999999999999999999\r\n"); }, 413},
    };
    // Runs requests [from, to), each kind in turn; a PUT comes before the MOVE and
    // DELETE of the same name, so each of those finds what it acts on.
    int failures = 0;
    auto sendAndEnd = [&](const std::string& bytes) { return SendAndEnd(daemon->port(), bytes); };
    auto run = [&](int from, int to) {
        for (int n = from; n < to && failures < 10; ++n) {
            const Kind& kind = kinds[static_cast<size_t>(n) % kinds.size()];
            int round = n / static_cast<int>(kinds.size());
            Response answer = ParseResponse(sendAndEnd(kind.request(round)));
            if (answer.status() != kind.status) {
                ++failures;
                ADD_FAILURE() << "request " << n << " (" << kind.what << "): " << answer.statusLine;
            }
        }
    };
    const int warmUp = 1100, total = 20000;
    run(0, warmUp);
    const size_t descriptors = OpenDescriptors(daemon->pid());
    const long resident = ResidentKiB(daemon->pid());
    run(warmUp, total);
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(OpenDescriptors(daemon->pid()), descriptors);
#ifndef PAVRIX_SANITIZED
    EXPECT_LE(ResidentKiB(daemon->pid()), resident + 2048) << "kB resident after the warm-up: " << resident;
#else
    // AddressSanitizer keeps freed memory in quarantine, so the resident size says
    // nothing about the daemon there; the descriptors and answers still do.
    (void)resident;
#endif
    EXPECT_TRUE(daemon->process().running());
}

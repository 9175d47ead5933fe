// pavrix-logserver: the product's log server. It registers "PavrixWMLogServer" and
// keeps the lines its clients send, in memory, in arrival order.
//
// LogProtocol, as offered on the bus (interface org.pavrix.LogProtocol, object "/"):
//   log(s)     oneway  appends one complete line, kept exactly as sent
//   getLog()   -> s    every kept line in arrival order, concatenated as sent (a
//                      time-stamped line carries its own line feed, so the text reads
//                      as the log file would)
//   clear()    oneway  forgets every line
//   saveTo(s)  oneway  writes the same text as getLog to the file at that path
//   ping(s)    -> s    answers with its argument, to show the server is alive
//
// Only the newest --max-lines lines are kept, so a client that logs without pause
// cannot make the server grow without end.

#include "platform/NamedException.h"
#include "platform/NamedService.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <string>

namespace {

constexpr const char* kServerName = "PavrixWMLogServer";
constexpr const char* kProtocol = "LogProtocol";
constexpr size_t kDefaultMaxLines = 100000;

void PrintUsage(FILE* to, const char* program)
{
    std::fprintf(to,
                 "usage: %s [--max-lines N]\n"
                 "Registers %s on the session bus and keeps the newest N log lines\n"
                 "(default %zu) until SIGTERM or SIGINT.\n",
                 program, kServerName, kDefaultMaxLines);
}

// A whole positive number, nothing else.
bool ParseCount(const char* text, size_t& out)
{
    if (!text || !*text)
        return false;
    for (const char* p = text; *p; ++p)
        if (*p < '0' || *p > '9')
            return false;
    errno = 0;
    unsigned long long value = std::strtoull(text, nullptr, 10);
    if (errno != 0 || value == 0)
        return false;
    out = static_cast<size_t>(value);
    return true;
}

class LogStore {
public:
    explicit LogStore(size_t maxLines) : maxLines_(maxLines) {}

    void append(const std::string& line)
    {
        lines_.push_back(line);
        while (lines_.size() > maxLines_)
            lines_.pop_front();
    }
    std::string text() const
    {
        std::string out;
        for (const auto& line : lines_)
            out += line;
        return out;
    }
    void clear() { lines_.clear(); }
    bool saveTo(const std::string& path) const
    {
        FILE* f = std::fopen(path.c_str(), "wb");
        if (!f)
            return false;
        std::string all = text();
        bool ok = std::fwrite(all.data(), 1, all.size(), f) == all.size();
        ok = std::fclose(f) == 0 && ok;
        return ok;
    }

private:
    size_t maxLines_;
    std::deque<std::string> lines_;
};

} // namespace

int main(int argc, char** argv)
{
    size_t maxLines = kDefaultMaxLines;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            PrintUsage(stdout, argv[0]);
            return 0;
        }
        if (arg == "--max-lines" && i + 1 < argc && ParseCount(argv[i + 1], maxLines)) {
            ++i;
            continue;
        }
        PrintUsage(stderr, argv[0]);
        return 2;
    }

    platform::ServiceHost::BlockStopSignals();

    LogStore store(maxLines);
    std::unique_ptr<platform::ServiceHost> host;
    try {
        host = std::make_unique<platform::ServiceHost>(kServerName);
        // Every handler runs on the thread inside run(), so the store needs no lock.
        const std::string interface = platform::ProtocolInterfaceName(kProtocol);
        auto& object = host->rootObject();
        object.registerMethod("log")
            .onInterface(interface)
            .withInputParamNames("line")
            .implementedAs([&store](const std::string& line) { store.append(line); })
            .withNoReply();
        object.registerMethod("getLog")
            .onInterface(interface)
            .withOutputParamNames("log")
            .implementedAs([&store]() { return store.text(); });
        object.registerMethod("clear").onInterface(interface).implementedAs([&store]() { store.clear(); }).withNoReply();
        object.registerMethod("saveTo")
            .onInterface(interface)
            .withInputParamNames("path")
            .implementedAs([&store](const std::string& path) {
                if (!store.saveTo(path))
                    std::fprintf(stderr, "pavrix-logserver: cannot write %s: %s\n", path.c_str(), std::strerror(errno));
            })
            .withNoReply();
        object.registerMethod("ping")
            .onInterface(interface)
            .withInputParamNames("text")
            .withOutputParamNames("text")
            .implementedAs([](const std::string& text) { return text; });
        object.finishRegistration();
    } catch (const platform::NamedException& e) {
        std::fprintf(stderr, "pavrix-logserver: cannot register %s: %s\n", kServerName, e.reason().c_str());
        return 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "pavrix-logserver: cannot serve %s: %s\n", kServerName, e.what());
        return 1;
    }

    int status = 0;
    try {
        host->runUntilStopSignal();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "pavrix-logserver: bus connection lost: %s\n", e.what());
        status = 1;
    }
    return status;
}

// pavrix-logserver: the product's log server. It registers "PavrixWMLogServer" and
// keeps the lines its clients send, in memory, in arrival order.
//
// The messages it answers are those of log/LogProtocol.h.
//
// Only the newest --max-lines lines are kept, so a client that logs without pause
// cannot make the server grow without end.
//
// PAVRIX_LOGSERVER_GETLOG_DELAY_MS=N makes each getLog answer N ms late, so that a
// test can keep a client's log lock held by one exchange for as long as it needs.

#include "log/LogProtocol.h"
#include "platform/DecimalText.h"
#include "platform/NamedException.h"
#include "platform/NamedService.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <thread>

namespace {

constexpr size_t kDefaultMaxLines = 100000;

void PrintUsage(FILE* to, const char* program)
{
    std::fprintf(to,
                 "usage: %s [--max-lines N]\n"
                 "Registers %s on the session bus and keeps the newest N log lines\n"
                 "(default %zu) until SIGTERM or SIGINT.\n",
                 program, kLogServerName, kDefaultMaxLines);
}

// A whole positive number, nothing else.
bool ParseCount(const char* text, size_t& out)
{
    if (!text || !*text)
        return false;
    for (const char* p = text; *p; ++p)
        if (*p < '0' || *p > '9')
            return false;
    platform::DecimalPrefix value = platform::ReadDecimalPrefix(text);
    if (value.overflow || value.magnitude == 0)
        return false;
    out = static_cast<size_t>(value.magnitude);
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
    const char* delayText = std::getenv("PAVRIX_LOGSERVER_GETLOG_DELAY_MS");
    const std::chrono::milliseconds getLogDelay(
        delayText ? platform::SaturatedInt32(platform::ReadDecimalPrefix(delayText)) : 0);
    std::unique_ptr<platform::ServiceHost> host;
    try {
        host = std::make_unique<platform::ServiceHost>(kLogServerName);
        // Every handler runs on the thread inside run(), so the store needs no lock.
        const std::string interface = platform::ProtocolInterfaceName(kLogProtocol);
        auto& object = host->rootObject();
        object.registerMethod(LogMethod::log)
            .onInterface(interface)
            .withInputParamNames("line")
            .implementedAs([&store](const std::string& line) { store.append(line); })
            .withNoReply();
        object.registerMethod(LogMethod::getLog)
            .onInterface(interface)
            .withOutputParamNames("log")
            .implementedAs([&store, getLogDelay]() {
                std::this_thread::sleep_for(getLogDelay);
                return store.text();
            });
        object.registerMethod(LogMethod::clear).onInterface(interface).implementedAs([&store]() { store.clear(); }).withNoReply();
        object.registerMethod(LogMethod::saveTo)
            .onInterface(interface)
            .withInputParamNames("path")
            .implementedAs([&store](const std::string& path) {
                if (!store.saveTo(path))
                    std::fprintf(stderr, "pavrix-logserver: cannot write %s: %s\n", path.c_str(), std::strerror(errno));
            })
            .withNoReply();
        object.registerMethod(LogMethod::ping)
            .onInterface(interface)
            .withInputParamNames("text")
            .withOutputParamNames("text")
            .implementedAs([](const std::string& text) { return text; });
        object.finishRegistration();
    } catch (const platform::NamedException& e) {
        std::fprintf(stderr, "pavrix-logserver: cannot register %s: %s\n", kLogServerName, e.reason().c_str());
        return 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "pavrix-logserver: cannot serve %s: %s\n", kLogServerName, e.what());
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

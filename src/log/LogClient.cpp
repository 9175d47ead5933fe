#include "log/LogClient.h"

#include "log/LogProtocol.h"
#include "platform/CalendarDate.h"
#include "platform/ConsoleLog.h"
#include "platform/NamedService.h"
#include "platform/UTF8.h"

#include <algorithm>
#include <exception>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <vector>

volatile unsigned char gLogOn = 1;
volatile unsigned char gLogDebug = 0;
volatile unsigned char gLogTrace = 0;

namespace {

using platform::ServiceProxy;

constexpr const char* kDefaultDateFormat = "%1m/%e/%y %H:%M:%S";
// How long one wait for the log lock lasts before the second's end is checked again.
constexpr auto kLockWaitSlice = std::chrono::milliseconds(200);
// LogSetLockWaitLimit's limit in milliseconds; negative: none.
std::atomic<int64_t> gLockWaitLimitMs{-1};

// Guards the names, the date format, the count and the lock pointer. It is held only
// for a few instructions, never across traffic with the server, so the accessors that
// must not wait for the log lock (SetApplicationNameForLog) stay quick.
std::mutex gStateMutex;
int gInitCount = 0;
std::shared_ptr<std::timed_mutex> gLogLock;
std::optional<std::string> gLogServerName;
std::optional<std::string> gApplicationName;
std::string gDateFormat;

// The log server's root object, touched only with gLogLock held. The proxy owns the
// bus connection that carries it, so the connection comes and goes with it. A bus
// connection may be used by one thread at a time, which the lock guarantees.
std::shared_ptr<ServiceProxy> gRemoteLog;
// Mirrors whether gRemoteLog is set, for LogServerRunning, which takes no lock.
std::atomic<bool> gRemoteLogSet{false};

void SetRemoteLog(std::shared_ptr<ServiceProxy> proxy)
{
    gRemoteLog = std::move(proxy);
    gRemoteLogSet = gRemoteLog != nullptr;
}

std::optional<std::string> CurrentServerName()
{
    std::lock_guard<std::mutex> guard(gStateMutex);
    return gLogServerName;
}

// Holds gLogLock for one exchange and lets it go on every path out.
class HeldLogLock {
public:
    explicit HeldLogLock(std::shared_ptr<std::timed_mutex> lock) : lock_(std::move(lock)) {}
    ~HeldLogLock()
    {
        if (lock_)
            lock_->unlock();
    }
    HeldLogLock(const HeldLogLock&) = delete;
    HeldLogLock& operator=(const HeldLogLock&) = delete;
    explicit operator bool() const { return lock_ != nullptr; }
    // Gives up ownership without unlocking (LogCleanup unlocks by hand).
    std::shared_ptr<std::timed_mutex> release() { return std::move(lock_); }

private:
    std::shared_ptr<std::timed_mutex> lock_;
};

// Takes the log lock, waiting at most until the wall-clock second changes: a caller
// that cannot have the server in time writes to the console instead of piling up
// behind a slow or hung exchange. The waiting thread does not service the holder's
// replies itself: a bus connection reads its own reply inside the call that waits
// for it, and touching it from a second thread at the same time would corrupt it.
std::shared_ptr<std::timed_mutex> GetLogLockWithTimeout()
{
    std::shared_ptr<std::timed_mutex> lock;
    {
        std::lock_guard<std::mutex> guard(gStateMutex);
        lock = gLogLock;
    }
    if (!lock)
        return nullptr; // not initialised: nothing to wait for

    using Clock = std::chrono::system_clock;
    const time_t noted = Clock::to_time_t(Clock::now());
    Clock::time_point giveUp = Clock::from_time_t(noted + 1);
    if (int64_t limit = gLockWaitLimitMs; limit >= 0)
        giveUp = std::min(giveUp, Clock::now() + std::chrono::milliseconds(limit));
    for (;;) {
        if (lock->try_lock())
            break;
        Clock::time_point now = Clock::now();
        if (Clock::to_time_t(now) > noted || now >= giveUp)
            return nullptr;
        if (lock->try_lock_until(std::min(now + kLockWaitSlice, giveUp)))
            break;
    }
    // A LogCleanup that ended the client while we waited has freed this lock; the
    // state it guarded is gone, so the caller must not go on with it.
    std::lock_guard<std::mutex> guard(gStateMutex);
    if (gLogLock != lock) {
        lock->unlock();
        return nullptr;
    }
    return lock;
}

// Called with the log lock held.
bool ConnectToLogServer()
{
    if (gRemoteLog)
        return true;
    std::optional<std::string> name = CurrentServerName();
    if (!name)
        return false;
    // The proxy comes back with the protocol already declared, so calls go straight
    // to the protocol's interface; a failed look-up (no bus, nobody holding the name)
    // gives null and never raises.
    SetRemoteLog(ServiceProxy::lookUp(*name, kLogProtocol));
    return gRemoteLog != nullptr;
}

// Called with the log lock held. Drops the old proxy first: it is bound to the process
// that held the name, which may be gone while a new server holds the name now.
bool ReconnectToLogServer()
{
    SetRemoteLog(nullptr);
    return ConnectToLogServer();
}

// printf with one addition: "%@" takes a NUL-terminated text and inserts it as it
// stands. The format is rewritten so that each "%@" (with whatever flags, width or
// precision it carries) becomes "%s", then handed to the C library.
std::string FormatMessage(const char* format, va_list args)
{
    if (!format)
        return {};
    std::string rewritten;
    rewritten.reserve(std::strlen(format) + 8);
    for (const char* p = format; *p;) {
        if (*p != '%') {
            rewritten += *p++;
            continue;
        }
        if (p[1] == '%') {
            rewritten += "%%";
            p += 2;
            continue;
        }
        const char* start = p++;
        while (*p && std::strchr("-+ #0'", *p))
            ++p;
        while (*p && (std::isdigit(static_cast<unsigned char>(*p)) || *p == '*'))
            ++p;
        if (*p == '.') {
            ++p;
            while (*p && (std::isdigit(static_cast<unsigned char>(*p)) || *p == '*'))
                ++p;
        }
        const char* length = p;
        while (*p && std::strchr("hlLqjzt", *p))
            ++p;
        if (*p == '@') {
            rewritten.append(start, length);
            rewritten += 's';
            ++p;
        } else {
            if (*p)
                ++p;
            rewritten.append(start, p);
        }
    }

    va_list measure;
    va_copy(measure, args);
    char small[512];
    int needed = std::vsnprintf(small, sizeof small, rewritten.c_str(), measure);
    va_end(measure);
    if (needed < 0)
        return {};
    if (static_cast<size_t>(needed) < sizeof small)
        return std::string(small, static_cast<size_t>(needed));
    std::vector<char> big(static_cast<size_t>(needed) + 1);
    std::vsnprintf(big.data(), big.size(), rewritten.c_str(), args);
    return std::string(big.data(), static_cast<size_t>(needed));
}

} // namespace

void LogInit(const char* serverName, const char* applicationName)
{
    std::lock_guard<std::mutex> guard(gStateMutex);
    if (gInitCount++ > 0)
        return;
    if (serverName)
        gLogServerName = serverName;
    if (applicationName)
        gApplicationName = applicationName;
    gDateFormat = kDefaultDateFormat;
    gLogLock = std::make_shared<std::timed_mutex>();
}

void LogCleanup()
{
    HeldLogLock held(GetLogLockWithTimeout());
    if (!held)
        return;
    std::shared_ptr<ServiceProxy> dropped;
    std::shared_ptr<std::timed_mutex> lock = held.release();
    {
        std::lock_guard<std::mutex> guard(gStateMutex);
        if (gInitCount > 0 && --gInitCount == 0) {
            gLogServerName.reset();
            gApplicationName.reset();
            dropped = std::move(gRemoteLog);
            SetRemoteLog(nullptr);
            // Threads still waiting on the old lock see that it is no longer the
            // current one and give up (GetLogLockWithTimeout).
            gLogLock.reset();
        }
    }
    lock->unlock();
    // `dropped` closes the old bus connection here, outside both locks.
}

void SetApplicationNameForLog(const char* name)
{
    std::lock_guard<std::mutex> guard(gStateMutex);
    if (name)
        gApplicationName = name;
    else
        gApplicationName.reset();
}

void LogRawString(const std::string& line)
{
    bool sent = false;
    // The bus carries text only as UTF-8 and cuts it at a NUL: a line it cannot
    // carry goes to the console unchanged, without tearing down a connection that
    // is working.
    if (platform::IsValidUTF8(line, platform::kUTF8BusText)) {
        HeldLogLock held(GetLogLockWithTimeout());
        if (held && CurrentServerName() && ConnectToLogServer()) {
            try {
                gRemoteLog->sendOneway(LogMethod::log, line);
                sent = true;
            } catch (const std::exception&) {
                // The server went away, or the bus did: look the name up once more,
                // since a restarted server holds it under a new connection.
                try {
                    if (ReconnectToLogServer()) {
                        gRemoteLog->sendOneway(LogMethod::log, line);
                        sent = true;
                    }
                } catch (const std::exception&) {
                }
            }
        }
    }
    if (!sent)
        platform::ConsoleLogWrite(line);
}

void LogWithDate(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::string message = FormatMessage(format, args);
    va_end(args);

    std::optional<std::string> application;
    std::string dateFormat;
    {
        std::lock_guard<std::mutex> guard(gStateMutex);
        application = gApplicationName;
        dateFormat = gDateFormat.empty() ? kDefaultDateFormat : gDateFormat;
    }
    std::string line = platform::CalendarDate::now().format(dateFormat);
    if (application) {
        line += "  ";
        line += *application;
    }
    line += ":  ";
    line += message;
    line += '\n';
    LogRawString(line);
}

void LogPrintf(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::string message = FormatMessage(format, args);
    va_end(args);
    LogRawString(message);
}

bool LogIsOn() { return gLogOn != 0; }
void LogTurnOn(bool on) { gLogOn = on ? 1 : 0; }
bool LogGetDebugState() { return gLogDebug != 0; }
void LogSetDebugState(bool on) { gLogDebug = on ? 1 : 0; }
bool LogGetTraceState() { return gLogTrace != 0; }
void LogSetTraceState(bool on) { gLogTrace = on ? 1 : 0; }

void LogSetLockWaitLimit(std::optional<std::chrono::milliseconds> limit)
{
    gLockWaitLimitMs = limit ? std::max<int64_t>(0, limit->count()) : -1;
}

bool LogServerRunning() { return gRemoteLogSet.load(); }

bool LogServerReallyRunning()
{
    HeldLogLock held(GetLogLockWithTimeout());
    if (!held || !ConnectToLogServer())
        return false;
    try {
        return gRemoteLog->call<std::string>(LogMethod::ping, std::string("ping")) == "ping";
    } catch (const std::exception&) {
        return false;
    }
}

std::optional<platform::PlistObject> LogGetCurrentLog()
{
    HeldLogLock held(GetLogLockWithTimeout());
    if (!held || !ConnectToLogServer())
        return std::nullopt;
    try {
        return platform::PlistObject::string(gRemoteLog->call<std::string>(LogMethod::getLog));
    } catch (const std::exception&) {
        try {
            if (ReconnectToLogServer())
                return platform::PlistObject::string(gRemoteLog->call<std::string>(LogMethod::getLog));
        } catch (const std::exception&) {
        }
    }
    return std::nullopt;
}

void LogClear()
{
    HeldLogLock held(GetLogLockWithTimeout());
    if (!held || !ConnectToLogServer())
        return;
    try {
        gRemoteLog->sendOneway(LogMethod::clear);
    } catch (const std::exception&) {
        try {
            if (ReconnectToLogServer())
                gRemoteLog->sendOneway(LogMethod::clear);
        } catch (const std::exception&) {
        }
    }
}

void LogCaughtFailure(const char* doing)
{
    if (!gLogDebug)
        return;
    try {
        throw;
    } catch (const std::exception& e) {
        LogWithDate("%s: %s", doing, e.what());
    } catch (...) {
        LogWithDate("%s", doing);
    }
}

#pragma once

// Helpers for the log tests: catching what reaches the console log (standard
// error), and starting the real log server on the test's private bus.

#include "support/TestSupport.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <optional>
#include <string>
#include <unistd.h>
#include <vector>

namespace logtest {

inline constexpr const char* kLogServerName = "PavrixWMLogServer";

// Sends file descriptor 2 to a file while it lives; finish() gives back what was
// written and puts the old standard error back.
class StderrCapture {
public:
    explicit StderrCapture(std::string path) : path_(std::move(path))
    {
        std::fflush(stderr);
        saved_ = ::dup(STDERR_FILENO);
        int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(fd, STDERR_FILENO);
        ::close(fd);
    }
    ~StderrCapture() { restore(); }
    StderrCapture(const StderrCapture&) = delete;
    StderrCapture& operator=(const StderrCapture&) = delete;

    std::string finish()
    {
        restore();
        return testsupport::ReadFile(path_);
    }

private:
    void restore()
    {
        if (saved_ < 0)
            return;
        std::fflush(stderr);
        ::dup2(saved_, STDERR_FILENO);
        ::close(saved_);
        saved_ = -1;
    }

    std::string path_;
    int saved_ = -1;
};

// Sets an environment variable (and re-reads the time zone) for one scope.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name)
    {
        if (const char* old = std::getenv(name))
            old_ = old;
        ::setenv(name, value, 1);
        ::tzset();
    }
    ~ScopedEnv()
    {
        if (old_)
            ::setenv(name_.c_str(), old_->c_str(), 1);
        else
            ::unsetenv(name_.c_str());
        ::tzset();
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string name_;
    std::optional<std::string> old_;
};

inline testsupport::ChildProcess StartLogServer(const std::vector<std::string>& extraArgs = {})
{
    std::vector<std::string> argv{testsupport::BinPath("pavrix-logserver")};
    argv.insert(argv.end(), extraArgs.begin(), extraArgs.end());
    return testsupport::StartService(argv, kLogServerName);
}

// Stops a server and waits until the bus has let go of its name.
inline void StopLogServer(testsupport::ChildProcess& server)
{
    server.stop();
    testsupport::WaitFor([] { return !testsupport::ServiceRegistered(kLogServerName); });
}

} // namespace logtest

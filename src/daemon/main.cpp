#include "daemon/Application.h"
#include "daemon/DaemonOptions.h"
#include "daemon/Server.h"
#include "log/LogClient.h"
#include "log/LogProtocol.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <pthread.h>
#include <thread>
#include <unistd.h>
#include <filesystem>

namespace {

int gHupPipe[2] = {-1, -1};

// The handler only sets the flag and wakes the hang-up thread: logging and
// removing a folder take locks and allocate, which a handler that may interrupt
// the main thread anywhere must not do. The flag is set at once, so the next
// connection already sees it; a blocked accept returns and is simply retried.
void HandleSignal(int sig)
{
    if (sig != SIGHUP)
        return;
    int savedErrno = errno;
    Application::hup();
    char wake = 1;
    [[maybe_unused]] ssize_t n = ::write(gHupPipe[1], &wake, 1);
    errno = savedErrno;
}

// Does the rest of each hang-up: the log line and the removal of the mirror
// folder (a failure, such as a folder already gone, is ignored).
void HangupLoop(const std::string& mirrorFolder)
{
    char wake;
    for (;;) {
        ssize_t n = ::read(gHupPipe[0], &wake, 1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        if (gLogDebug)
            LogWithDate("recieved SIGHUP signal");
        std::error_code ec;
        std::filesystem::remove_all(mirrorFolder, ec);
    }
}

void StartHangupThread(const std::string& mirrorFolder)
{
    if (::pipe2(gHupPipe, O_CLOEXEC) != 0)
        return;
    // The thread never takes the signal itself, so the handler always runs on the
    // main thread, where it interrupts the accept.
    sigset_t hup, previous;
    sigemptyset(&hup);
    sigaddset(&hup, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &hup, &previous);
    std::thread(HangupLoop, mirrorFolder).detach();
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

} // namespace

int main(int argc, char** argv)
{
    DaemonOptions options = DaemonOptions::fromEnvironment();
    if (options.logDebug)
        LogSetDebugState(true);
    const std::string mirrorFolder = MirrorDirectoryPath(options.homeFolder);

    auto application = std::make_unique<Application>(argc, argv, std::move(options));

    std::signal(SIGPIPE, SIG_IGN);
    StartHangupThread(mirrorFolder);
    struct sigaction action {};
    action.sa_handler = HandleSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0; // no SA_RESTART: a blocked accept returns and is simply retried
    sigaction(SIGHUP, &action, nullptr);

    LogInit(kLogServerName, "webdav");

    // Serves until the process is ended: the server's loop never returns.
    application->Daemon();
    return 0;
}

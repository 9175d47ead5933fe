#pragma once

#include "daemon/DaemonOptions.h"

#include <memory>
#include <string>

class Rapi;
class Server;
class WinceDataSource;

// 1 once any SIGHUP has arrived; never cleared. Written by the signal handler.
extern volatile unsigned char gHasReceivedHup;

// The process object: knows the port file, and owns the device session, the
// store over it and the listener, made once at start from the options.
class Application {
public:
    Application(int argc, char** argv, DaemonOptions options); // both arguments are ignored
    ~Application();

    static void hup();
    static bool hasReceivedHup();

    Application& Daemon();
    Application& Initialize();

    const std::string& dictionaryName() const { return dictionaryName_; }

private:
    DaemonOptions options_;
    std::string dictionaryName_;
    // Declared in the order they depend on each other: the store refers to the
    // session, the server holds the store.
    std::unique_ptr<Rapi> session_;
    std::shared_ptr<WinceDataSource> store_;
    std::unique_ptr<Server> serverObject_;
};

// The mirror folder in the cache folder of the user whose home folder is `home`.
std::string MirrorDirectoryPath(const std::string& home);

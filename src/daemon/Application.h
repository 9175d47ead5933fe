#pragma once

#include <memory>
#include <string>

class DataSource;
class Server;

// 1 once any SIGHUP has arrived; never cleared. Written by the signal handler.
extern volatile unsigned char gHasReceivedHup;

// The process object: knows the port file and owns the listener.
class Application {
public:
    Application(int argc, char** argv); // both arguments are ignored
    ~Application();

    static void hup();
    static bool hasReceivedHup();

    Application& Daemon();
    Application& Initialize();

    const std::string& dictionaryName() const { return dictionaryName_; }

private:
    std::unique_ptr<Server> serverObject_;
    std::string dictionaryName_;
};

// The store the daemon gives a connection accepted now.
std::shared_ptr<DataSource> ConnectionDataSource();

// The mirror folder in the user's cache folder.
std::string MirrorDirectoryPath();

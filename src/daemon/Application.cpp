#include "daemon/Application.h"

#include "daemon/HandOffFiles.h"
#include "daemon/Server.h"
#include "device/WinceDataSource.h"
#include "platform/HomeFolder.h"

volatile unsigned char gHasReceivedHup = 0;

std::string MirrorDirectoryPath() { return platform::ExpandTilde(kMirrorDirectory); }

Application::Application(int, char**) : dictionaryName_(PortFilePath()) {}

Application::~Application() = default;

void Application::hup() { gHasReceivedHup = 1; }

bool Application::hasReceivedHup() { return gHasReceivedHup != 0; }

// Until the first hang-up every connection shares the device store (and its read
// cache); after one, each gets a fresh base store, which answers without the device.
std::shared_ptr<DataSource> ConnectionDataSource()
{
    if (Application::hasReceivedHup())
        return std::make_shared<DataSource>();
    // The daemon's one device store, made when the first connection asks for it.
    static const std::shared_ptr<DataSource> deviceStore = std::make_shared<WinceDataSource>();
    return deviceStore;
}

Application& Application::Daemon() { return Initialize(); }

Application& Application::Initialize()
{
    serverObject_ = std::make_unique<Server>(0, dictionaryName_, ConnectionDataSource);
    serverObject_->Loop();
}

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

Application& Application::Daemon() { return Initialize(); }

Application& Application::Initialize()
{
    serverObject_ = std::make_unique<Server>(0, dictionaryName_);
    serverObject_->Loop();
    serverObject_.reset();
    return *this;
}

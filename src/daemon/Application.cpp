#include "daemon/Application.h"

#include "daemon/AttachedDevice.h"
#include "daemon/HandOffFiles.h"
#include "daemon/Server.h"
#include "device/WinceDataSource.h"
#include "pavrixwm/Rapi.h"
#include "platform/HomeFolder.h"

volatile unsigned char gHasReceivedHup = 0;

std::string MirrorDirectoryPath(const std::string& home) { return platform::ExpandTilde(kMirrorDirectory, home); }

Application::Application(int, char**, DaemonOptions options)
    : options_(std::move(options)), dictionaryName_(PortFilePath(options_.homeFolder))
{
}

Application::~Application() = default;

void Application::hup() { gHasReceivedHup = 1; }

bool Application::hasReceivedHup() { return gHasReceivedHup != 0; }

Application& Application::Daemon() { return Initialize(); }

Application& Application::Initialize()
{
    // The launcher's hand-off comes first: it names and unlocks a handheld on the link.
    TakeOverHandOffFiles(options_.homeFolder);
    std::optional<std::string> password;
    if (gDevicePassword)
        password = std::string(gDevicePassword->begin(), gDevicePassword->end());
    session_ = std::make_unique<Rapi>(OpenAttachedDevice(options_, gDeviceIPAddress, password), options_.deviceTrace);

    const std::string mirror = MirrorDirectoryPath(options_.homeFolder);
    store_ = std::make_shared<WinceDataSource>(*session_, mirror);
    store_->setStandardAnswers(options_.standardDav);
    serverObject_ = std::make_unique<Server>(0, dictionaryName_, store_, mirror);
    serverObject_->Loop();
}

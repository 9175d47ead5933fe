#include "platform/NamedService.h"

#include <csignal>
#include <cstdlib>
#include <map>
#include <mutex>
#include <optional>
#include <poll.h>
#include <pthread.h>
#include <thread>

namespace platform {

std::string ServiceBusName(const std::string& registeredName) { return "org.pavrix." + registeredName; }
std::string ProtocolInterfaceName(const std::string& protocol) { return "org.pavrix." + protocol; }

namespace {
constexpr const char* kBusName = "org.freedesktop.DBus";
constexpr const char* kBusPath = "/org/freedesktop/DBus";
constexpr const char* kBusInterface = "org.freedesktop.DBus";
constexpr const char* kNameHasNoOwner = "org.freedesktop.DBus.Error.NameHasNoOwner";

// The unique name of the process holding the name; none when nobody holds it. Any
// other failure of the bus raises.
std::optional<std::string> NameOwner(sdbus::IProxy& bus, const std::string& busName)
{
    try {
        std::string owner;
        bus.callMethod("GetNameOwner")
            .onInterface(kBusInterface)
            .withTimeout(std::chrono::seconds(2))
            .withArguments(busName)
            .storeResultsTo(owner);
        if (owner.empty())
            return std::nullopt;
        return owner;
    } catch (const sdbus::Error& e) {
        if (e.getName() == kNameHasNoOwner)
            return std::nullopt;
        throw;
    }
}

// When a start of a name last failed, per bus: the log client looks its server up
// again for every line while it is missing, and must not pay for a start (or spawn
// a failing program) each time.
std::mutex gFailedStartsLock;
std::map<std::string, std::chrono::steady_clock::time_point> gFailedStarts;

// Keyed by the bus's own id, so that a failure on one bus says nothing about
// another the process may reach later.
std::string FailedStartKey(sdbus::IProxy& bus, const std::string& busName)
{
    std::string id;
    try {
        bus.callMethod("GetId").onInterface(kBusInterface).withTimeout(std::chrono::seconds(2)).storeResultsTo(id);
    } catch (const sdbus::Error&) {
        // A bus that cannot say shares one key; its failures still hold off retries.
    }
    return id + "\n" + busName;
}

// Asks the bus to start the installed service that provides the name, once. True
// when the bus reports the name held (started now, or meanwhile by someone else).
bool StartService(sdbus::IProxy& bus, const std::string& busName)
{
    const std::string key = FailedStartKey(bus, busName);
    {
        std::lock_guard<std::mutex> guard(gFailedStartsLock);
        auto failed = gFailedStarts.find(key);
        if (failed != gFailedStarts.end()) {
            if (std::chrono::steady_clock::now() - failed->second < ServiceProxy::kStartRetryDelay)
                return false;
            gFailedStarts.erase(failed);
        }
    }
    try {
        uint32_t reply = 0;
        bus.callMethod("StartServiceByName")
            .onInterface(kBusInterface)
            .withTimeout(ServiceProxy::kStartTimeout)
            .withArguments(busName, uint32_t{0})
            .storeResultsTo(reply);
        return true;
    } catch (const sdbus::Error&) {
        // No service file, a program that could not start or claim the name in
        // time: the name counts as not registered.
        std::lock_guard<std::mutex> guard(gFailedStartsLock);
        gFailedStarts[key] = std::chrono::steady_clock::now();
        return false;
    }
}

} // namespace

std::shared_ptr<ServiceProxy> ServiceProxy::lookUp(const std::string& registeredName, const std::string& protocol,
                                                   Activation activation)
{
    try {
        std::shared_ptr<ServiceProxy> p(new ServiceProxy());
        p->connection_ = sdbus::createSessionBusConnection();
        p->busDaemon_ = sdbus::createProxy(*p->connection_, kBusName, kBusPath);
        const std::string busName = ServiceBusName(registeredName);
        std::optional<std::string> owner = NameOwner(*p->busDaemon_, busName);
        if (!owner && activation == Activation::startIfAbsent && StartService(*p->busDaemon_, busName))
            owner = NameOwner(*p->busDaemon_, busName);
        if (!owner)
            return nullptr;
        p->peer_ = *owner;
        p->interface_ = ProtocolInterfaceName(protocol);
        // Bound to the owner's unique name, as a connection is bound to one process.
        p->proxy_ = sdbus::createProxy(*p->connection_, *owner, "/");
        return p;
    } catch (const sdbus::Error&) {
        return nullptr;
    } catch (const std::exception&) {
        return nullptr;
    }
}

void ServiceProxy::ensurePeerAlive()
{
    bool alive = false;
    try {
        busDaemon_->callMethod("NameHasOwner")
            .onInterface(kBusInterface)
            .withTimeout(std::chrono::seconds(2))
            .withArguments(peer_)
            .storeResultsTo(alive);
    } catch (const sdbus::Error& e) {
        throw NamedException(kServiceExchangeException, e.getName() + ": " + e.getMessage());
    }
    if (!alive)
        throw NamedException(kServiceExchangeException, "connection to " + peer_ + " went invalid");
}

void ServiceProxy::serviceReplies(std::chrono::milliseconds slice)
{
    try {
        auto data = connection_->getEventLoopPollData();
        struct pollfd pfd {data.fd, static_cast<short>(data.events), 0};
        int waitMs = static_cast<int>(slice.count());
        if (::poll(&pfd, 1, waitMs) > 0)
            while (connection_->processPendingRequest()) {
            }
    } catch (const sdbus::Error&) {
        // A broken connection shows itself on the next exchange.
    }
}

ServiceHost::ServiceHost(const std::string& registeredName)
{
    try {
        connection_ = sdbus::createSessionBusConnection();
        connection_->requestName(ServiceBusName(registeredName));
        object_ = sdbus::createObject(*connection_, "/");
    } catch (const sdbus::Error& e) {
        throw NamedException("ServiceRegistrationException", e.getName() + ": " + e.getMessage());
    }
}

void ServiceHost::run() { connection_->enterEventLoop(); }

namespace {
sigset_t StopSignals()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    return set;
}
} // namespace

void ServiceHost::BlockStopSignals()
{
    sigset_t set = StopSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void ServiceHost::runUntilStopSignal()
{
    std::thread stopper([this] {
        sigset_t set = StopSignals();
        int sig = 0;
        sigwait(&set, &sig);
        stop();
    });
    struct Joiner {
        std::thread& thread;
        // When the loop ended without a signal (the bus went away), wake the
        // stopper so it can be joined: the signal stays blocked, so it only ends
        // its sigwait.
        ~Joiner()
        {
            pthread_kill(thread.native_handle(), SIGTERM);
            thread.join();
        }
    } joiner{stopper};
    run();
}

void ServiceHost::stop() { connection_->leaveEventLoop(); }

} // namespace platform

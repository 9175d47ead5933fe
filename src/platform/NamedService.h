#pragma once

#include "platform/NamedException.h"

#include <sdbus-c++/sdbus-c++.h>

#include <chrono>
#include <memory>
#include <string>

namespace platform {

// Named local services. A service registered under N owns the well-known name
// "org.pavrix.N" on the user's session bus and serves its root object at "/"; its
// protocol P is the interface "org.pavrix.P", one method per message.
std::string ServiceBusName(const std::string& registeredName);
std::string ProtocolInterfaceName(const std::string& protocol);

// The exception name raised by a proxy when an exchange breaks (peer gone, no
// reply in time, bus lost): the caller treats it like a dead connection.
inline constexpr const char* kServiceExchangeException = "NSPortTimeoutException";

// A proxy for the root object of one registered service. It is bound to the
// process that held the name when it was looked up: if that process goes away the
// proxy stays broken, even if another process registers the name later, so a
// client notices and looks the name up again.
class ServiceProxy {
public:
    // Whether a look-up may ask the bus to start an installed service that provides
    // the name (D-Bus activation) when nobody holds it.
    enum class Activation { startIfAbsent, never };

    // The proxy, or null when there is no session bus or nobody holds the name. When
    // nobody holds it, the bus is first asked once (for at most kStartTimeout) to
    // start the service; after a start that failed, the name is not started again
    // for kStartRetryDelay, so a client that looks a missing service up for every
    // message pays little more than the look-up itself. Never raises.
    static std::shared_ptr<ServiceProxy> lookUp(const std::string& registeredName, const std::string& protocol,
                                                Activation activation = Activation::startIfAbsent);
    static constexpr std::chrono::seconds kStartTimeout{1};
    static constexpr std::chrono::seconds kStartRetryDelay{10};

    // Sends a message and waits for its reply (at most the reply time-out).
    // Raises NamedException(kServiceExchangeException) when the exchange breaks.
    template <typename Result, typename... Args>
    Result call(const std::string& method, const Args&... args)
    {
        try {
            Result result{};
            proxy_->callMethod(method).onInterface(interface_).withTimeout(replyTimeout_).withArguments(args...).storeResultsTo(result);
            return result;
        } catch (const sdbus::Error& e) {
            throw NamedException(kServiceExchangeException, e.getName() + ": " + e.getMessage());
        }
    }

    // Sends a oneway message: no reply is awaited. Raises NamedException when the
    // process the proxy is bound to no longer exists or the bus is gone.
    template <typename... Args>
    void sendOneway(const std::string& method, const Args&... args)
    {
        ensurePeerAlive();
        try {
            proxy_->callMethod(method).onInterface(interface_).withArguments(args...).dontExpectReply();
        } catch (const sdbus::Error& e) {
            throw NamedException(kServiceExchangeException, e.getName() + ": " + e.getMessage());
        }
    }

    // Services pending incoming traffic on this proxy's connection for up to `slice`.
    void serviceReplies(std::chrono::milliseconds slice);

    void setReplyTimeout(std::chrono::microseconds timeout) { replyTimeout_ = timeout; }
    const std::string& peerUniqueName() const { return peer_; }

    ServiceProxy(const ServiceProxy&) = delete;
    ServiceProxy& operator=(const ServiceProxy&) = delete;

private:
    ServiceProxy() = default;
    void ensurePeerAlive();

    std::unique_ptr<sdbus::IConnection> connection_;
    std::unique_ptr<sdbus::IProxy> proxy_;
    std::unique_ptr<sdbus::IProxy> busDaemon_;
    std::string interface_;
    std::string peer_;
    std::chrono::microseconds replyTimeout_{std::chrono::seconds(5)};
};

// The serving side: claims the service's name and offers its root object.
class ServiceHost {
public:
    // Raises NamedException("ServiceRegistrationException") when there is no session
    // bus or the name is already held.
    explicit ServiceHost(const std::string& registeredName);

    // The root object; register the protocol's methods on it, then call
    // finishRegistration() on it before run().
    sdbus::IObject& rootObject() { return *object_; }
    // Blocks SIGTERM and SIGINT in the calling thread and every thread started after
    // it; call first in main, so that runUntilStopSignal() is the one that takes them.
    static void BlockStopSignals();

    // Serves requests until stop() (from a handler or another thread).
    void run();
    // Serves requests until SIGTERM or SIGINT arrives (taken by a thread of its own
    // with sigwait: ending the loop is nothing a signal handler may do) or the bus
    // goes away, which raises as run() does.
    void runUntilStopSignal();
    void stop();

private:
    std::unique_ptr<sdbus::IConnection> connection_;
    std::unique_ptr<sdbus::IObject> object_;
};

} // namespace platform

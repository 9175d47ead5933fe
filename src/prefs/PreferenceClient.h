#pragma once

// The client of the product's preference server: every request goes through one
// wrapper that serialises requests, reconnects once after a failure and never
// raises. On top of the server's untyped store it offers typed accessors.

#include "platform/CalendarDate.h"
#include "platform/NamedService.h"
#include "platform/PlistObject.h"
#include "prefs/PrefTypedValues.h"
#include "prefs/PreferenceProtocol.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

class PreferenceClient;

// The registered name for the default client: none until PreferenceInit.
extern std::optional<std::string> gDefaultPrefClientName;
// The default client: none until first asked for.
extern std::shared_ptr<PreferenceClient> gDefaultPrefClient;

// Sets the name from which the default client is made. A client that already
// exists keeps the name it was made with.
void PreferenceInit(const std::string& name);
// Drops the default client and then the name.
void PreferenceCleanup();

// How long one request may wait: for another request on the same client to let go
// of it, and for each of the server's replies.
struct PreferenceClientLimits {
    std::chrono::milliseconds lockDeadline{10000};
    std::chrono::milliseconds replyTimeout{5000};
};

class PreferenceClient {
public:
    using Value = std::optional<platform::PlistObject>;

    // A client that is not connected; no look-up is made.
    explicit PreferenceClient(const std::string& name, PreferenceClientLimits limits = {});
    // Waits for a request in progress on another thread to finish.
    ~PreferenceClient();
    PreferenceClient(const PreferenceClient&) = delete;
    PreferenceClient& operator=(const PreferenceClient&) = delete;

    // The default client, made on first use from gDefaultPrefClientName; none
    // while no name is set.
    static std::shared_ptr<PreferenceClient> defaultClient();

    // Whether the client is connected when the call ends; looks the server up
    // only when it is not connected yet.
    bool makeConnection();
    bool isConnected() const;
    // Whether a ping exchange with the server succeeds now. Makes no look-up.
    bool isReallyConnected();
    // The server's echo, or none (also when not connected). Does not reset.
    Value ping(const Value& object);
    // Drops the proxy: the next request looks the server up again.
    void reset();

    // Sends `sel` with as many of the parameters as it takes: at most two sends,
    // the second over a fresh look-up, waiting for the lock up to the lock deadline.
    // The reply (none for a oneway message), or none on any failure. Never raises.
    Value sendWithRetry(PrefMessage sel, const Value& param1, const Value& param2);

    // The server's messages.
    void writePref(const std::string& key, const Value& data);
    Value readPref(const std::string& key);
    void deletePref(const std::string& key);
    void sync();
    void reload();
    Value getAllPrefs();
    void setDefaults(const Value& defaults);

    // Typed accessors. A read that gives nil returns the default.
    void writeInteger(const std::string& key, int32_t value);
    int32_t readInteger(const std::string& key, int32_t defaultValue);
    int32_t readInteger(const std::string& key);
    void writeString(const std::string& key, const std::optional<std::string>& value);
    // The value as it was read, whatever its kind.
    Value readString(const std::string& key, const Value& defaultValue);
    Value readString(const std::string& key);
    void writeBool(const std::string& key, bool value);
    bool readBool(const std::string& key, bool defaultValue);
    bool readBool(const std::string& key);
    // Written in kCalendarFormat in the date's own zone; seconds only.
    void writeDate(const std::string& key, const std::optional<platform::CalendarDate>& value);
    // None when nothing is stored or the text is not in kCalendarFormat.
    std::optional<platform::CalendarDate> readDate(const std::string& key);

protected:
    std::string mConnName;
    // Serialises requests; a request gives up after waiting the lock deadline for it.
    std::timed_mutex mLock;
    PreferenceClientLimits mLimits;
    // Read without the lock by isConnected, ping and reset, hence atomic.
    std::atomic<std::shared_ptr<platform::ServiceProxy>> mRemoteObject;

private:
    Value send(platform::ServiceProxy& proxy, PrefMessage sel, const Value& param1, const Value& param2);
};

#include "prefs/PreferenceClient.h"

#include "prefs/PrefTypedValues.h"
#include "prefs/PrefWireFormat.h"

#include <chrono>

using platform::CalendarDate;
using platform::PlistObject;
using platform::ServiceProxy;

PreferenceClient::PreferenceClient(const std::string& name, PreferenceClientLimits limits)
    : mConnName(name), mLimits(limits)
{
}

PreferenceClient::~PreferenceClient()
{
    // A request still running on another thread finishes before the client goes.
    // The default client cannot be destroyed while gDefaultPrefClient still holds
    // it, so there is nothing to clear there.
    mLock.lock();
    mRemoteObject.store(nullptr);
    mLock.unlock();
}

std::shared_ptr<PreferenceClient> PreferenceClient::defaultClient()
{
    if (!gDefaultPrefClient && gDefaultPrefClientName)
        gDefaultPrefClient = std::make_shared<PreferenceClient>(*gDefaultPrefClientName);
    return gDefaultPrefClient;
}

bool PreferenceClient::makeConnection()
{
    if (mRemoteObject.load())
        return true;
    // The look-up binds the proxy to the protocol's interface. Each proxy has a bus
    // connection of its own, so a request waiting for its reply sees only its own
    // conversation, never another client's traffic.
    std::shared_ptr<ServiceProxy> proxy = ServiceProxy::lookUp(mConnName, kPreferenceProtocol);
    if (!proxy)
        return false;
    proxy->setReplyTimeout(mLimits.replyTimeout);
    mRemoteObject.store(std::move(proxy));
    return mRemoteObject.load() != nullptr;
}

bool PreferenceClient::isConnected() const { return mRemoteObject.load() != nullptr; }

bool PreferenceClient::isReallyConnected()
{
    Value reply = ping(PlistObject::string("ping"));
    return reply && reply->asString() == std::optional<std::string>("ping");
}

PreferenceClient::Value PreferenceClient::ping(const Value& object)
{
    std::shared_ptr<ServiceProxy> proxy = mRemoteObject.load();
    if (!proxy)
        return std::nullopt;
    try {
        return send(*proxy, PrefMessage::ping, object, std::nullopt);
    } catch (...) {
        return std::nullopt;
    }
}

void PreferenceClient::reset() { mRemoteObject.store(nullptr); }

PreferenceClient::Value PreferenceClient::send(ServiceProxy& proxy, PrefMessage sel, const Value& param1,
                                               const Value& param2)
{
    const PrefMessageInfo& message = PrefMessageDescription(sel);
    // Exactly as many arguments as the message takes; a nil one still travels.
    PrefWireValue first = EncodePrefValue(param1);
    PrefWireValue second = EncodePrefValue(param2);
    if (message.oneway) {
        switch (message.argumentCount) {
        case 0: proxy.sendOneway(message.method); break;
        case 1: proxy.sendOneway(message.method, first); break;
        default: proxy.sendOneway(message.method, first, second); break;
        }
        return std::nullopt;
    }
    PrefWireValue reply;
    switch (message.argumentCount) {
    case 0: reply = proxy.call<PrefWireValue>(message.method); break;
    case 1: reply = proxy.call<PrefWireValue>(message.method, first); break;
    default: reply = proxy.call<PrefWireValue>(message.method, first, second); break;
    }
    return DecodePrefValue(reply);
}

PreferenceClient::Value PreferenceClient::sendWithRetry(PrefMessage sel, const Value& param1, const Value& param2)
{
    std::unique_lock<std::timed_mutex> hold(mLock, std::defer_lock);
    try {
        if (!hold.try_lock_for(mLimits.lockDeadline))
            return std::nullopt;
    } catch (...) {
        return std::nullopt;
    }

    // Two attempts at most, the second at once: a proxy that failed is dropped, so
    // the second makeConnection looks the server up afresh (it may have restarted).
    for (int attempt = 0; attempt < 2; ++attempt) {
        try {
            if (!makeConnection())
                continue;
            std::shared_ptr<ServiceProxy> proxy = mRemoteObject.load();
            if (!proxy)
                continue;
            return send(*proxy, sel, param1, param2);
        } catch (...) {
            reset();
        }
    }
    return std::nullopt;
}

void PreferenceClient::writePref(const std::string& key, const Value& data)
{
    sendWithRetry(PrefMessage::writePref, PlistObject::string(key), data);
}

PreferenceClient::Value PreferenceClient::readPref(const std::string& key)
{
    return sendWithRetry(PrefMessage::readPref, PlistObject::string(key), std::nullopt);
}

void PreferenceClient::deletePref(const std::string& key)
{
    sendWithRetry(PrefMessage::deletePref, PlistObject::string(key), std::nullopt);
}

void PreferenceClient::sync() { sendWithRetry(PrefMessage::sync, std::nullopt, std::nullopt); }

void PreferenceClient::reload() { sendWithRetry(PrefMessage::reload, std::nullopt, std::nullopt); }

PreferenceClient::Value PreferenceClient::getAllPrefs()
{
    return sendWithRetry(PrefMessage::getAllPrefs, std::nullopt, std::nullopt);
}

void PreferenceClient::setDefaults(const Value& defaults)
{
    sendWithRetry(PrefMessage::setDefaults, defaults, std::nullopt);
}

void PreferenceClient::writeInteger(const std::string& key, int32_t value)
{
    writePref(key, PlistObject::integer(value));
}

int32_t PreferenceClient::readInteger(const std::string& key, int32_t defaultValue)
{
    Value value = readPref(key);
    if (!value)
        return defaultValue;
    return PrefIntValue(*value).value_or(defaultValue);
}

int32_t PreferenceClient::readInteger(const std::string& key) { return readInteger(key, 0); }

void PreferenceClient::writeString(const std::string& key, const std::optional<std::string>& value)
{
    writePref(key, value ? Value(PlistObject::string(*value)) : std::nullopt);
}

PreferenceClient::Value PreferenceClient::readString(const std::string& key, const Value& defaultValue)
{
    Value value = readPref(key);
    return value ? value : defaultValue;
}

PreferenceClient::Value PreferenceClient::readString(const std::string& key) { return readPref(key); }

void PreferenceClient::writeBool(const std::string& key, bool value) { writePref(key, PlistObject::boolean(value)); }

bool PreferenceClient::readBool(const std::string& key, bool defaultValue)
{
    Value value = readPref(key);
    if (!value)
        return defaultValue;
    return PrefBoolValue(*value).value_or(defaultValue);
}

bool PreferenceClient::readBool(const std::string& key) { return readBool(key, false); }

void PreferenceClient::writeDate(const std::string& key, const std::optional<CalendarDate>& value)
{
    writePref(key, value ? Value(PlistObject::string(value->format(kCalendarFormat))) : std::nullopt);
}

std::optional<CalendarDate> PreferenceClient::readDate(const std::string& key)
{
    Value value = readString(key);
    if (!value)
        return std::nullopt;
    return PrefDateValue(*value);
}

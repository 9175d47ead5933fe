#pragma once

#include <chrono>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

// The write locks clients hold on the resources of one store, in memory only:
// each with its token, scope, depth and timeout. Resources are named by URI and
// matched as the device matches names: escapes decoded, letter case ignored, a
// trailing "/" dropped.
class LockTable {
public:
    using Clock = std::chrono::steady_clock;
    struct Lock {
        std::string token; // "opaquelocktoken:<uuid>"
        std::string root;  // the URI the lock was taken on, as the client sent it
        bool deep = false; // depth infinity
        bool shared = false;
        std::string owner; // the owner element's content, as XML text
        std::chrono::seconds timeout{0};
        Clock::time_point expires;
    };

    // The longest timeout granted, and the one given when a client asks for none.
    static constexpr std::chrono::seconds kMaximumTimeout{3600};
    // Locks held at once, and the bytes of one lock's owner: what clients make
    // the daemon keep stays bounded.
    static constexpr size_t kMaximumLocks = 4096;
    static constexpr size_t kMaximumOwnerBytes = 16384;

    // Takes a new lock; none when a lock in force conflicts with it (an exclusive
    // lock with any other, a shared one with an exclusive one), counting locks on
    // the resource, on a folder above it with depth infinity and, for a deep lock,
    // below it; none as well when the table is full or the owner too long.
    std::optional<Lock> acquire(const std::string& uri, bool deep, bool shared, const std::string& owner,
                                std::chrono::seconds timeout);
    // Restarts the timeout of the lock with this token if it covers `uri`.
    std::optional<Lock> refresh(const std::string& uri, const std::string& token, std::chrono::seconds timeout);
    // Ends the lock with this token if it covers `uri`; false when there is none.
    bool release(const std::string& uri, const std::string& token);
    // The locks in force on `uri`: on it, or deep on a folder above it; with
    // `below`, also those on resources below it.
    std::vector<Lock> covering(const std::string& uri, bool below = false);
    // Forgets every lock on `uri` and below it (the resource is gone).
    void forget(const std::string& uri);

    // The matching form of a URI.
    static std::string key(const std::string& uri);

private:
    void dropExpired();
    // Whether `inner` is `outer` or lies below it, both in key form.
    static bool within(const std::string& inner, const std::string& outer);

    std::mutex mutex_;
    std::vector<Lock> locks_;
};

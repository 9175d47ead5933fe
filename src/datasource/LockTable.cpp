#include "datasource/LockTable.h"

#include "datasource/HrefEscaping.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <random>

namespace {

// A version 4 UUID from the system's random source, so that no client can guess
// another's token.
std::string NewToken()
{
    std::random_device random;
    unsigned char bytes[16];
    for (auto& byte : bytes)
        byte = static_cast<unsigned char>(random() & 0xFF);
    bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40);
    bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);
    std::string text = "opaquelocktoken:";
    char hex[3];
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10)
            text += '-';
        std::snprintf(hex, sizeof hex, "%02x", bytes[i]);
        text += hex;
    }
    return text;
}

} // namespace

std::string LockTable::key(const std::string& uri)
{
    std::string text = PercentDecode(uri);
    for (auto& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    while (text.size() > 1 && text.back() == '/')
        text.pop_back();
    return text;
}

bool LockTable::within(const std::string& inner, const std::string& outer)
{
    return inner == outer || (inner.size() > outer.size() && inner.compare(0, outer.size(), outer) == 0 &&
                              inner[outer.size()] == '/');
}

void LockTable::dropExpired()
{
    auto now = Clock::now();
    locks_.erase(std::remove_if(locks_.begin(), locks_.end(), [now](const Lock& lock) { return lock.expires <= now; }),
                 locks_.end());
}

std::vector<LockTable::Lock> LockTable::covering(const std::string& uri, bool below)
{
    std::lock_guard<std::mutex> guard(mutex_);
    dropExpired();
    std::string target = key(uri);
    std::vector<Lock> found;
    for (const auto& lock : locks_) {
        std::string root = key(lock.root);
        if (root == target || (lock.deep && within(target, root)) || (below && within(root, target)))
            found.push_back(lock);
    }
    return found;
}

std::optional<LockTable::Lock> LockTable::acquire(const std::string& uri, bool deep, bool shared,
                                                  const std::string& owner, std::chrono::seconds timeout)
{
    auto held = covering(uri, deep);
    for (const auto& lock : held)
        if (!shared || !lock.shared)
            return std::nullopt;
    std::lock_guard<std::mutex> guard(mutex_);
    if (locks_.size() >= kMaximumLocks || owner.size() > kMaximumOwnerBytes)
        return std::nullopt;
    Lock lock;
    lock.token = NewToken();
    lock.root = uri;
    lock.deep = deep;
    lock.shared = shared;
    lock.owner = owner;
    lock.timeout = timeout <= std::chrono::seconds(0) || timeout > kMaximumTimeout ? kMaximumTimeout : timeout;
    lock.expires = Clock::now() + lock.timeout;
    locks_.push_back(lock);
    return lock;
}

std::optional<LockTable::Lock> LockTable::refresh(const std::string& uri, const std::string& token,
                                                  std::chrono::seconds timeout)
{
    std::lock_guard<std::mutex> guard(mutex_);
    dropExpired();
    std::string target = key(uri);
    for (auto& lock : locks_) {
        std::string root = key(lock.root);
        if (lock.token == token && (root == target || (lock.deep && within(target, root)))) {
            lock.timeout = timeout <= std::chrono::seconds(0) || timeout > kMaximumTimeout ? kMaximumTimeout : timeout;
            lock.expires = Clock::now() + lock.timeout;
            return lock;
        }
    }
    return std::nullopt;
}

bool LockTable::release(const std::string& uri, const std::string& token)
{
    std::lock_guard<std::mutex> guard(mutex_);
    dropExpired();
    std::string target = key(uri);
    for (auto it = locks_.begin(); it != locks_.end(); ++it) {
        std::string root = key(it->root);
        if (it->token == token && (root == target || (it->deep && within(target, root)))) {
            locks_.erase(it);
            return true;
        }
    }
    return false;
}

void LockTable::forget(const std::string& uri)
{
    std::lock_guard<std::mutex> guard(mutex_);
    std::string target = key(uri);
    locks_.erase(std::remove_if(locks_.begin(), locks_.end(),
                                [&](const Lock& lock) { return within(key(lock.root), target); }),
                 locks_.end());
}

#pragma once

// The messages of the preference server. On the bus the protocol is the
// interface "org.pavrix.PreferenceProtocol" of the server's root object, one
// method per message, named by the message's first keyword.

#include <array>
#include <cstddef>

inline constexpr const char* kPreferenceProtocol = "PreferenceProtocol";

// The message selector a request hands to sendWithRetry.
enum class PrefMessage { writePref, readPref, deletePref, sync, reload, setDefaults, getAllPrefs, ping };

struct PrefMessageInfo {
    const char* method; // bus method name
    int argumentCount;  // objects sent with the message
    bool oneway;        // sent without waiting for (or getting) a reply
};

// In the order of PrefMessage.
inline constexpr std::array<PrefMessageInfo, 8> kPrefMessages{{
    {"writePref", 2, true},
    {"readPref", 1, false},
    {"deletePref", 1, true},
    {"sync", 0, true},
    {"reload", 0, true},
    {"setDefaults", 1, true},
    {"getAllPrefs", 0, false},
    {"ping", 1, false},
}};

inline constexpr const PrefMessageInfo& PrefMessageDescription(PrefMessage message)
{
    return kPrefMessages[static_cast<std::size_t>(message)];
}

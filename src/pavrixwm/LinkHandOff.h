#pragma once

// Hands accepted link connections from the privileged listener (pavrix-linkd,
// which alone may bind the link's port 990) to the user's daemon over a Unix
// socket: each message is the desktop port the connection came in on (16 bits,
// little-endian) with the connection's descriptor attached (SCM_RIGHTS). The
// listener never reads a byte the handheld sends; the daemon takes over from the
// accept on.

#include "pavrixwm/LinkSocket.h"

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

// Where the user's daemon finds the listener: in its runtime folder (none without one).
std::optional<std::string> LinkHandOffPath(const std::optional<std::string>& runtimeFolder);

// The daemon's end: connected to the listener's socket; invalid when none listens.
LinkSocket ConnectLinkHandOff(const std::string& path);
// The next connection handed over (none when the listener is gone or sent no
// descriptor).
std::optional<std::pair<uint16_t, LinkSocket>> ReceiveLinkConnection(LinkSocket& handOff);
// The listener's end: false when the daemon is gone.
bool SendLinkConnection(LinkSocket& handOff, uint16_t port, int fd);

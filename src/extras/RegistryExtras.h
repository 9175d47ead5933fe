#pragma once

// Registry extras of a device session: a few well-known values in the registry of
// the attached device (the owner's name, the two desktop partnerships and which of
// them is current, a host entry of the device's TCP/IP stack, the installer's
// "ask for a destination" switch), and whether the attached device is a smartphone.
//
// Each call stands alone: it opens (to read) or creates (to write) one key, reads or
// writes one or two values under it and closes the key again, whatever the value
// calls answered. Nothing here raises or keeps state between calls: readers answer
// nil or 0 when the value cannot be had, writers answer 0 or the session's own
// registry error code, unchanged.

#include "pavrixwm/Rapi.h"

#include <cstdint>
#include <optional>
#include <string>

// The owner's name: the UTF-16LE text at the start of the raw "Owner" value of
// HKEY_CURRENT_USER\ControlPanel\Owner, up to its first zero unit (or the value's
// end). Only when "Owner" cannot be read is the "Name" text value asked instead.
// Nil when the key cannot be opened, when "Owner" starts with a zero unit, or when
// neither value gives a name.
std::optional<std::string> ownerName(Rapi& rapi);

// The name object ("PName") of partnership 1 (firstPartner non-zero) or 2 (zero),
// as the device keeps it. Nil when the key or the value is missing.
std::optional<RegistryValue> partnerName(Rapi& rapi, int32_t firstPartner);
// The id ("PId") of partnership 1 or 2 as an unsigned 32-bit number; 0 when missing.
uint32_t partnerID(Rapi& rapi, int32_t firstPartner);
// The current partnership number ("PCur"); 0 when missing.
int32_t currentPartner(Rapi& rapi);

// Stores "PId" and then, only when that succeeded, "PName" of partnership 1 or 2,
// both unchanged. 0, or the code of the first registry call that failed.
int32_t setPartner(Rapi& rapi, const RegistryValue& name, const RegistryValue& partnerID, int32_t firstPartner);
// Stores "PCur" as a signed 32-bit number. 0, or the registry's error code.
int32_t setCurrentPartner(Rapi& rapi, uint32_t partner);
// Stores the 4-byte "ipaddr" (least significant byte first) under
// Comm\Tcpip\Hosts\<hostname>, creating the key. 0, or the registry's error code.
int32_t setHostname(Rapi& rapi, const std::string& hostname, int64_t ipAddress);
// Stores the installer's "fAskDest" switch; only the low 8 bits of the flag count.
// 0, or the registry's error code.
int32_t setInstallAskForDestinationKey(Rapi& rapi, int32_t flag);

// 1 when the first device the framework lists has the "DeviceClass" "SmartPhone"
// (exactly, letter case included), else 0. The list comes from the device's own
// description: no device call is made.
int32_t isSmartphone(Rapi& rapi);

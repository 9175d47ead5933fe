#pragma once

// What a handheld tells the desktop about itself when it connects: the newer
// handhelds' device-information block (on the control connection), or the older
// ones' information packet. Both come from outside: every length and offset is
// checked against the bytes received, and a string must end inside them.

#include "pavrixwm/RapiDialect.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct LinkDeviceInfo {
    std::array<uint8_t, 16> guid{};
    uint32_t osMajor = 0;
    uint32_t osMinor = 0;
    std::string name;
    uint32_t version = 0;
    uint32_t cpuType = 0;
    uint32_t flags = 0; // meaning unknown
    uint32_t partnerId = 0;
    uint32_t id = 0;
    std::vector<std::string> platformNames;
    std::string modelName;
    uint32_t componentCount = 0;
    // 0: no password; 0xFFFFFFFF: unlocked on the handheld; else the key that
    // encodes the password.
    uint32_t passwordKey = 0;
    bool legacy = false; // came as an older handheld's information packet

    RapiDialect dialect() const { return legacy ? RapiDialect::Rapi1 : DialectForVersion(osMajor, osMinor); }
    bool operator==(const LinkDeviceInfo&) const = default;
};

// The most bytes a device-information block or information packet may have.
inline constexpr uint32_t kMaxDeviceInfoSize = 4096;
// The fewest bytes an older handheld's information packet has: its fixed part.
inline constexpr uint32_t kMinLegacyInfoSize = 0x24;
inline constexpr uint32_t kPasswordOnDevice = 0xFFFFFFFF;

std::optional<LinkDeviceInfo> ParseDeviceInfoBlock(const uint8_t* data, size_t size);
std::vector<uint8_t> EncodeDeviceInfoBlock(const LinkDeviceInfo& info);
// The older packet has no password key (it comes as a challenge of its own).
std::optional<LinkDeviceInfo> ParseLegacyInfoPacket(const uint8_t* data, size_t size);
std::vector<uint8_t> EncodeLegacyInfoPacket(const LinkDeviceInfo& info);

// The password as the handheld takes it: UTF-16LE with its NUL, each byte XORed
// with the key's low byte (the 16-bit length is sent before it).
std::vector<uint8_t> EncodeLinkPassword(const std::string& password, uint32_t key);
std::optional<std::string> DecodeLinkPassword(const std::vector<uint8_t>& encoded, uint32_t key);

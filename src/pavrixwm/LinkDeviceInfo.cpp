#include "pavrixwm/LinkDeviceInfo.h"

#include "pavrixwm/CeWCHAR.h"
#include "pavrixwm/RapiReader.h"
#include "pavrixwm/RapiWriter.h"

#include <algorithm>

namespace {

constexpr uint32_t kMaxNameCharacters = 31;
constexpr uint32_t kMaxAsciiLength = 255;
constexpr uint32_t kMaxComponents = 6;

// NUL-separated ASCII names, the list ended by an empty one.
std::vector<std::string> SplitNames(const uint8_t* data, size_t size)
{
    std::vector<std::string> names;
    size_t start = 0;
    for (size_t i = 0; i < size; ++i) {
        if (data[i] != 0)
            continue;
        if (i == start)
            break;
        names.emplace_back(reinterpret_cast<const char*>(data + start), i - start);
        start = i + 1;
    }
    return names;
}

// UTF-16LE text at `offset`, ended by a NUL inside the packet.
std::optional<std::string> TextAt(const uint8_t* data, size_t size, uint32_t offset)
{
    if (offset >= size)
        return std::nullopt;
    for (size_t i = offset; i + 1 < size; i += 2)
        if (data[i] == 0 && data[i + 1] == 0)
            return DeviceTextToUtf8(data + offset, i - offset);
    return std::nullopt;
}

} // namespace

std::optional<LinkDeviceInfo> ParseDeviceInfoBlock(const uint8_t* data, size_t size)
{
    if (size > kMaxDeviceInfoSize)
        return std::nullopt;
    RapiReader in(data, size);
    LinkDeviceInfo info;
    if (const uint8_t* guid = in.raw(16))
        std::copy(guid, guid + 16, info.guid.begin());
    info.osMajor = in.u32();
    info.osMinor = in.u32();
    uint32_t nameLength = in.u32();
    if (!in.ok() || nameLength > kMaxNameCharacters)
        return std::nullopt;
    info.name = in.deviceText(size_t{nameLength} * 2);
    if (in.u16() != 0) // the name's NUL
        return std::nullopt;
    info.version = in.u32();
    info.cpuType = in.u32();
    info.flags = in.u32();
    info.partnerId = in.u32();
    info.id = in.u32();
    uint32_t platformLength = in.u32();
    if (!in.ok() || platformLength > kMaxAsciiLength)
        return std::nullopt;
    const uint8_t* platform = in.raw(platformLength);
    if (!platform)
        return std::nullopt;
    info.platformNames = SplitNames(platform, platformLength);
    uint32_t modelLength = in.u32();
    if (!in.ok() || modelLength > kMaxAsciiLength)
        return std::nullopt;
    const uint8_t* model = in.raw(modelLength);
    if (!model)
        return std::nullopt;
    info.modelName.assign(reinterpret_cast<const char*>(model), modelLength);
    if (info.modelName.find('\0') != std::string::npos)
        return std::nullopt;
    in.raw(1); // the model name's NUL
    info.componentCount = in.u32();
    if (!in.ok() || info.componentCount > kMaxComponents)
        return std::nullopt;
    in.raw(size_t{info.componentCount} * 8);
    info.passwordKey = in.u32();
    if (!in.ok())
        return std::nullopt;
    // Optional extra data: its size word counts from where it starts.
    if (in.left() > 0) {
        size_t left = in.left();
        uint32_t extra = in.u32();
        if (!in.ok() || extra > left)
            return std::nullopt;
    }
    return info;
}

std::vector<uint8_t> EncodeDeviceInfoBlock(const LinkDeviceInfo& info)
{
    RapiWriter out;
    out.raw(info.guid.data(), info.guid.size()).u32(info.osMajor).u32(info.osMinor);
    auto name = Utf8ToDeviceText(info.name); // with its NUL
    out.u32(static_cast<uint32_t>(name.size() / 2 - 1)).raw(name);
    out.u32(info.version).u32(info.cpuType).u32(info.flags).u32(info.partnerId).u32(info.id);
    std::vector<uint8_t> platform;
    for (const auto& each : info.platformNames) {
        platform.insert(platform.end(), each.begin(), each.end());
        platform.push_back(0);
    }
    platform.push_back(0);
    out.u32(static_cast<uint32_t>(platform.size())).raw(platform);
    out.u32(static_cast<uint32_t>(info.modelName.size()))
        .raw(reinterpret_cast<const uint8_t*>(info.modelName.data()), info.modelName.size())
        .raw(std::vector<uint8_t>{0});
    out.u32(info.componentCount);
    for (uint32_t i = 0; i < info.componentCount; ++i)
        out.u32(0).u32(0);
    out.u32(info.passwordKey);
    return out.take();
}

std::optional<LinkDeviceInfo> ParseLegacyInfoPacket(const uint8_t* data, size_t size)
{
    if (size < kMinLegacyInfoSize || size > kMaxDeviceInfoSize)
        return std::nullopt;
    RapiReader in(data, size);
    LinkDeviceInfo info;
    info.legacy = true;
    std::copy(data, data + 16, info.guid.begin());
    in.u32();
    const uint8_t* version = in.raw(2);
    info.osMajor = version[0];
    info.osMinor = version[1];
    in.u16(); // build number
    info.cpuType = in.u16();
    in.u16();
    in.u32();
    info.partnerId = in.u32();
    in.u32(); // second partner id
    uint32_t nameAt = in.u32(), platformAt = in.u32(), modelAt = in.u32();
    auto name = TextAt(data, size, nameAt);
    auto platform = TextAt(data, size, platformAt);
    auto model = TextAt(data, size, modelAt);
    if (!in.ok() || !name || !platform || !model || name->size() > 4 * kMaxNameCharacters)
        return std::nullopt;
    info.name = *name;
    info.platformNames = {*platform};
    info.modelName = *model;
    return info;
}

std::vector<uint8_t> EncodeLegacyInfoPacket(const LinkDeviceInfo& info)
{
    auto name = Utf8ToDeviceText(info.name);
    auto platform = Utf8ToDeviceText(info.platformNames.empty() ? std::string() : info.platformNames.front());
    auto model = Utf8ToDeviceText(info.modelName);
    RapiWriter out;
    out.u32(0).raw(std::vector<uint8_t>{static_cast<uint8_t>(info.osMajor), static_cast<uint8_t>(info.osMinor)});
    out.u16(0).u16(static_cast<uint16_t>(info.cpuType)).u16(0).u32(0).u32(info.partnerId).u32(0);
    uint32_t at = kMinLegacyInfoSize;
    out.u32(at).u32(at + static_cast<uint32_t>(name.size()))
        .u32(at + static_cast<uint32_t>(name.size() + platform.size()));
    out.raw(name).raw(platform).raw(model);
    return out.take();
}

std::vector<uint8_t> EncodeLinkPassword(const std::string& password, uint32_t key)
{
    auto bytes = Utf8ToDeviceText(password);
    for (auto& byte : bytes)
        byte ^= static_cast<uint8_t>(key);
    return bytes;
}

std::optional<std::string> DecodeLinkPassword(const std::vector<uint8_t>& encoded, uint32_t key)
{
    std::vector<uint8_t> bytes = encoded;
    for (auto& byte : bytes)
        byte ^= static_cast<uint8_t>(key);
    if (bytes.size() < 2 || bytes.size() % 2 != 0 || bytes[bytes.size() - 1] != 0 || bytes[bytes.size() - 2] != 0)
        return std::nullopt;
    return DeviceTextToUtf8(bytes.data(), bytes.size());
}

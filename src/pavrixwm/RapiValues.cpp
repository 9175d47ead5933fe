#include "pavrixwm/RapiValues.h"

#include "pavrixwm/CeWCHAR.h"
#include "pavrixwm/RapiDialect.h"
#include "platform/LittleEndian.h"

namespace {

constexpr uint32_t kHresultWin32Facility = 0x80070000;

} // namespace

DWORD Win32CodeOf(uint32_t hresult)
{
    if ((hresult & 0xFFFF0000) == kHresultWin32Facility)
        return hresult & 0xFFFF;
    return ERROR_GEN_FAILURE;
}

uint32_t RegistryValueType(const RegistryValue& value)
{
    if (std::holds_alternative<int64_t>(value))
        return REG_DWORD;
    if (std::holds_alternative<std::string>(value))
        return REG_SZ;
    return REG_BINARY;
}

std::vector<uint8_t> RegistryValueBytes(const RegistryValue& value)
{
    if (const auto* number = std::get_if<int64_t>(&value)) {
        std::vector<uint8_t> out;
        platform::AppendLE32(out, static_cast<uint32_t>(*number));
        return out;
    }
    if (const auto* text = std::get_if<std::string>(&value))
        return Utf8ToDeviceText(*text);
    return std::get<std::vector<uint8_t>>(value);
}

std::optional<RegistryValue> RegistryValueFrom(uint32_t type, const std::vector<uint8_t>& data)
{
    switch (type) {
    case REG_DWORD:
        if (data.size() != 4)
            return std::nullopt;
        return RegistryValue(int64_t{platform::ReadLE32(data.data())});
    case REG_SZ: {
        if (data.size() % 2 != 0)
            return std::nullopt;
        auto text = DeviceTextToUtf8(data.data(), data.size());
        if (!text)
            return std::nullopt;
        return RegistryValue(*text);
    }
    case REG_BINARY:
        return RegistryValue(data);
    default:
        return std::nullopt;
    }
}

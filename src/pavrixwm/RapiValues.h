#pragma once

// Values as they cross the link: a registry value as the device's type and bytes
// (a number as REG_DWORD, text as REG_SZ with its NUL, bytes as REG_BINARY), and
// the Win32 code an HRESULT carries.

#include "pavrixwm/RegistryValue.h"
#include "pavrixwm/WinCE.h"

#include <cstdint>
#include <optional>
#include <vector>

uint32_t RegistryValueType(const RegistryValue& value);
std::vector<uint8_t> RegistryValueBytes(const RegistryValue& value);
// None for a type the session cannot carry, or data of the wrong size for it.
std::optional<RegistryValue> RegistryValueFrom(uint32_t type, const std::vector<uint8_t>& data);
// The Win32 code an HRESULT names (its low word when it is a Win32 HRESULT), else
// ERROR_GEN_FAILURE.
DWORD Win32CodeOf(uint32_t hresult);

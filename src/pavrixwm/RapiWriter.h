#pragma once

// Builds one remote-call message: little-endian words, raw bytes and the two
// dialects' ways of sending device text. The frame's length prefix is added when
// the message is sent (RapiChannel), so a writer holds the body only.

#include "pavrixwm/CeWCHAR.h"
#include "platform/LittleEndian.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class RapiWriter {
public:
    RapiWriter& u32(uint32_t value)
    {
        platform::AppendLE32(bytes_, value);
        return *this;
    }
    RapiWriter& u16(uint16_t value)
    {
        platform::AppendLE16(bytes_, value);
        return *this;
    }
    RapiWriter& raw(const uint8_t* data, size_t size)
    {
        if (size)
            bytes_.insert(bytes_.end(), data, data + size);
        return *this;
    }
    RapiWriter& raw(const std::vector<uint8_t>& data) { return raw(data.data(), data.size()); }

    // The older dialect's text: 1, the count of characters with the NUL, the
    // characters; an absent text is a single 0.
    RapiWriter& text1(const std::optional<std::string>& text)
    {
        if (!text)
            return u32(0);
        auto units = Utf8ToDeviceText(*text);
        return u32(1).u32(static_cast<uint32_t>(units.size() / 2)).raw(units);
    }
    // The older dialect's optional argument: 1, its byte count, 1, the bytes
    // (a path of the file-management calls is sent this way, NUL included).
    RapiWriter& optionalIn(const uint8_t* data, size_t size) { return u32(1).u32(static_cast<uint32_t>(size)).u32(1).raw(data, size); }
    RapiWriter& optionalText(const std::string& text)
    {
        auto units = Utf8ToDeviceText(text);
        return optionalIn(units.data(), units.size());
    }
    // An output the caller offers room for: 1, its size, 0 (no data follows).
    RapiWriter& optionalOut(uint32_t size) { return u32(1).u32(size).u32(0); }
    // An argument the caller leaves out: a single 0.
    RapiWriter& absent() { return u32(0); }
    // The newer dialect's text: its byte count with the NUL, then the bytes; an
    // absent text is a single 0.
    RapiWriter& text2(const std::optional<std::string>& text)
    {
        if (!text)
            return u32(0);
        auto units = Utf8ToDeviceText(*text);
        return u32(static_cast<uint32_t>(units.size())).raw(units);
    }

    const std::vector<uint8_t>& bytes() const { return bytes_; }
    std::vector<uint8_t> take() { return std::move(bytes_); }

private:
    std::vector<uint8_t> bytes_;
};

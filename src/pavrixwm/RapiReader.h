#pragma once

// Reads one received remote-call message without ever reading past its end: every
// read says whether the bytes were there, and once one fails the reader stays
// failed, so a decoder checks once at the end. Every count it is given comes from
// the other side and is checked against the bytes that are left before use.

#include "pavrixwm/CeWCHAR.h"
#include "platform/LittleEndian.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class RapiReader {
public:
    RapiReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    explicit RapiReader(const std::vector<uint8_t>& bytes) : RapiReader(bytes.data(), bytes.size()) {}

    bool ok() const { return ok_; }
    size_t left() const { return ok_ ? size_ - at_ : 0; }
    bool atEnd() const { return ok_ && at_ == size_; }
    void fail() { ok_ = false; }

    uint32_t u32()
    {
        if (!need(4))
            return 0;
        uint32_t value = platform::ReadLE32(data_ + at_);
        at_ += 4;
        return value;
    }
    uint16_t u16()
    {
        if (!need(2))
            return 0;
        uint16_t value = platform::ReadLE16(data_ + at_);
        at_ += 2;
        return value;
    }
    // `size` bytes, or none (and the reader failed) when fewer are left.
    const uint8_t* raw(size_t size)
    {
        if (!need(size))
            return nullptr;
        const uint8_t* at = data_ + at_;
        at_ += size;
        return at;
    }
    std::vector<uint8_t> bytes(size_t size)
    {
        const uint8_t* at = raw(size);
        return at ? std::vector<uint8_t>(at, at + size) : std::vector<uint8_t>{};
    }

    // Device text of `byteCount` bytes: an odd count, or text that is not UTF-16,
    // fails the reader. The text ends at its first NUL (or at the count).
    std::string deviceText(size_t byteCount)
    {
        if (byteCount % 2 != 0) {
            fail();
            return {};
        }
        const uint8_t* at = raw(byteCount);
        if (!at)
            return {};
        auto text = DeviceTextToUtf8(at, byteCount);
        if (!text) {
            fail();
            return {};
        }
        return *text;
    }
    // The older dialect's text (1, characters with NUL, characters); none for 0.
    std::optional<std::string> text1()
    {
        uint32_t present = u32();
        if (present == 0 || !ok_)
            return std::nullopt;
        uint32_t count = u32();
        if (present != 1 || count > left() / 2) {
            fail();
            return std::nullopt;
        }
        return deviceText(size_t{count} * 2);
    }
    // The newer dialect's text (byte count with NUL, bytes); none for 0.
    std::optional<std::string> text2()
    {
        uint32_t count = u32();
        if (count == 0 || !ok_)
            return std::nullopt;
        return deviceText(count);
    }
    // The older dialect's optional argument: none when absent; its bytes when they
    // were sent; an empty vector with *size set when only room was offered.
    std::optional<std::vector<uint8_t>> optional(uint32_t* offeredSize = nullptr)
    {
        uint32_t present = u32();
        if (present == 0 || !ok_)
            return std::nullopt;
        uint32_t size = u32();
        uint32_t hasData = u32();
        if (present != 1 || hasData > 1) {
            fail();
            return std::nullopt;
        }
        if (offeredSize)
            *offeredSize = size;
        if (!hasData)
            return std::vector<uint8_t>{};
        if (size > left()) {
            fail();
            return std::nullopt;
        }
        return bytes(size);
    }
    std::optional<std::string> optionalText()
    {
        auto data = optional();
        if (!data)
            return std::nullopt;
        if (data->size() % 2 != 0) {
            fail();
            return std::nullopt;
        }
        auto text = DeviceTextToUtf8(data->data(), data->size());
        if (!text)
            fail();
        return text;
    }

private:
    bool need(size_t size)
    {
        if (!ok_ || size > size_ - at_) {
            ok_ = false;
            return false;
        }
        return true;
    }

    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
    bool ok_ = true;
};

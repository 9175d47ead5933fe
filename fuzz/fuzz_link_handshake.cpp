// What a handheld sends the connection manager: the newer handhelds'
// device-information block, the older ones' information packet, and an encoded
// password. Input: a selector byte, then the bytes. Parsing never reads past the
// input, keeps every name within its bound, and what it accepts comes back the
// same when encoded and parsed again.

#include "FuzzSupport.h"

#include "pavrixwm/LinkDeviceInfo.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    const uint8_t* body = data + 1;
    size_t length = size - 1;
    switch (data[0] % 3) {
    case 0:
        if (auto info = ParseDeviceInfoBlock(body, length)) {
            FUZZ_CHECK(info->componentCount <= 6);
            FUZZ_CHECK(!info->legacy);
            auto again = EncodeDeviceInfoBlock(*info);
            auto reparsed = ParseDeviceInfoBlock(again.data(), again.size());
            FUZZ_CHECK(reparsed && *reparsed == *info);
        }
        break;
    case 1:
        if (auto info = ParseLegacyInfoPacket(body, length)) {
            FUZZ_CHECK(info->legacy && info->osMajor < 256 && info->osMinor < 256);
            auto again = EncodeLegacyInfoPacket(*info);
            // Texts that share characters in the packet (offsets into one run) are
            // written apart, and may then no longer fit the packet limit.
            if (again.size() > kMaxDeviceInfoSize)
                break;
            auto reparsed = ParseLegacyInfoPacket(again.data(), again.size());
            FUZZ_CHECK(reparsed && reparsed->name == info->name && reparsed->modelName == info->modelName &&
                       reparsed->platformNames == info->platformNames && reparsed->osMajor == info->osMajor);
        }
        break;
    default: {
        uint32_t key = length ? body[0] : 0;
        std::vector<uint8_t> encoded(body + (length ? 1 : 0), body + length);
        if (auto password = DecodeLinkPassword(encoded, key))
            FUZZ_CHECK(EncodeLinkPassword(*password, key).size() <= encoded.size());
        break;
    }
    }
    return 0;
}

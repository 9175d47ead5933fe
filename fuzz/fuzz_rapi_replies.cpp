// Remote-call replies as a handheld might send them. Input: a selector byte (bit 0:
// the dialect; the rest: which call), a byte of FAF_ flags for listings, then the
// reply. Every decoder takes any reply without reading past it, never gives more
// than the reply holds or the caller has room for, and leaves no entries behind
// when it refuses a listing.

#include "FuzzSupport.h"

#include "pavrixwm/RapiClientCodec.h"

namespace {

using Bytes = std::vector<uint8_t>;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2)
        return 0;
    RapiClientCodec codec(data[0] & 1 ? RapiDialect::Rapi2 : RapiDialect::Rapi1);
    DWORD flags = data[1];
    Bytes reply(data + 2, data + size);
    RapiStatus status;
    switch ((data[0] >> 1) % 9) {
    case 0: {
        std::vector<RapiFindData> found;
        bool ok = codec.findAllFilesReply(reply, flags, status, found);
        FUZZ_CHECK(ok || found.empty());
        // Each entry took at least one byte, unless the mask asks for no field.
        FUZZ_CHECK(flags == 0 || found.size() <= reply.size());
        for (const auto& entry : found)
            FUZZ_CHECK(entry.filename.size() <= 3 * (RapiClientCodec::kMaxNameCharacters + 1));
        break;
    }
    case 1: {
        uint8_t buffer[64];
        DWORD got = 12345;
        bool ok = codec.readFileReply(reply, status, buffer, sizeof buffer, got);
        FUZZ_CHECK(got <= sizeof buffer);
        FUZZ_CHECK(ok || got == 0);
        break;
    }
    case 2: {
        DWORD written = 0;
        codec.writeFileReply(reply, status, written);
        break;
    }
    case 3: {
        LONG high = 0;
        codec.setFilePointerReply(reply, status, &high);
        break;
    }
    case 4: {
        STORE_INFORMATION info{1, 1};
        if (!codec.storeInformationReply(reply, status, info) && !status.refused)
            FUZZ_CHECK(info.dwStoreSize == 0 && info.dwFreeSize == 0);
        break;
    }
    case 5: {
        HKEY key = 0;
        DWORD disposition = 0;
        codec.regKeyReply(reply, status, key, &disposition);
        break;
    }
    case 6: {
        std::optional<RegistryValue> value;
        bool ok = codec.regQueryValueReply(reply, status, value);
        FUZZ_CHECK(ok || !value);
        if (value)
            FUZZ_CHECK(RegistryValueBytes(*value).size() <= reply.size());
        break;
    }
    case 7: {
        Bytes output;
        codec.rapiInvokeReply(reply, status, output);
        FUZZ_CHECK(output.size() <= reply.size());
        break;
    }
    default: {
        uint64_t total = 0, free = 0;
        codec.diskFreeSpaceReply(reply, status, total, free);
        codec.status(reply, status);
        break;
    }
    }
    return 0;
}

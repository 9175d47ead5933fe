// The reply blocks of the device-side library, and the owner record of the device
// registry, as a device might send them. Input: a selector byte (low bits: which
// call; high bit: no reply block at all), a 4-byte result code (little-endian),
// then the reply block. Every call takes any block without reading past it, hands
// every block back to the session, writes its out parameter only on its success
// path, and never takes an impossible clock reading for a good one.

#include "FuzzSupport.h"

#include "extras/DeviceLibraryExtras.h"
#include "extras/RegistryExtras.h"
#include "platform/TextEncoding.h"

#include <cstring>
#include <filesystem>

namespace {

using Bytes = std::vector<uint8_t>;

fuzzsupport::DeviceSession& Session()
{
    static fuzzsupport::DeviceSession session = fuzzsupport::OpenScratchDevice();
    return session;
}

uint32_t LE32(const uint8_t* at) { return at[0] | at[1] << 8 | at[2] << 16 | uint32_t(at[3]) << 24; }
uint16_t LE16(const uint8_t* at) { return uint16_t(at[0] | at[1] << 8); }

void CheckHasRichInk(Rapi& rapi, int32_t result, const std::optional<Bytes>& reply)
{
    int32_t value = -7;
    FUZZ_CHECK(HasRichInk(rapi, value) == result);
    // The emulated device is a PocketPC: without a usable answer it draws ink.
    FUZZ_CHECK(value == (result == 0 && reply && reply->size() == 4 ? int32_t(LE32(reply->data())) : 1));
}

void CheckConvertFromFile(Rapi& rapi, int32_t result, const std::optional<Bytes>& reply)
{
    std::optional<Bytes> results = Bytes{0xAA};
    FUZZ_CHECK(ConvertFromFile(rapi, "\\a.pwi", 2, results) == result);
    FUZZ_CHECK(results == (result == 0 ? reply.value_or(Bytes{}) : Bytes{0xAA}));
}

void CheckGetSystemTime(Rapi& rapi, int32_t result, const std::optional<Bytes>& reply)
{
    const auto untouched = platform::CalendarDate::fromSeconds(0, 3600).value();
    platform::CalendarDate date = untouched;
    int32_t code = GetSystemTime(rapi, date);
    if (result != 0 || !reply || reply->size() != 16) {
        FUZZ_CHECK(code == result && date == untouched);
        return;
    }
    const uint8_t* st = reply->data();
    if (code != 0) {
        FUZZ_CHECK(code == static_cast<int32_t>(E_FAIL) && date == untouched);
        return;
    }
    // A reading taken is the block's own fields, a date SetSystemTime writes back alike.
    struct tm t = date.fields();
    FUZZ_CHECK(t.tm_year + 1900 == LE16(st) && t.tm_mon + 1 == LE16(st + 2) && t.tm_mday == LE16(st + 6));
    FUZZ_CHECK(t.tm_hour == LE16(st + 8) && t.tm_min == LE16(st + 10) && t.tm_sec == LE16(st + 12));
    FUZZ_CHECK(date.gmtOffset() == 0);
}

void CheckVersion(Rapi& rapi, int32_t result, const std::optional<Bytes>& reply)
{
    // The record sits between guards, so that a write beyond it shows.
    uint8_t space[sizeof(PAVRIX_DLL_VERSION) + 32];
    std::memset(space, 0xAA, sizeof space);
    auto* version = reinterpret_cast<PAVRIX_DLL_VERSION*>(space + 16);
    int32_t code = GetPavrixDLLVersion(rapi, *version);
    const bool whole = reply && reply->size() == sizeof(PAVRIX_DLL_VERSION);
    FUZZ_CHECK(code == (result == 0 ? (whole ? 0 : int32_t(E_FAIL)) : (whole ? result : int32_t(E_FAIL))));
    for (size_t i = 0; i < 16; ++i)
        FUZZ_CHECK(space[i] == 0xAA && space[sizeof space - 1 - i] == 0xAA);
    if (code == 0)
        FUZZ_CHECK(std::memcmp(version->values, reply->data(), 12) == 0);
    else
        for (size_t i = 16; i < 16 + sizeof(PAVRIX_DLL_VERSION); ++i)
            FUZZ_CHECK(space[i] == 0xAA);
}

void CheckExitCode(Rapi& rapi, int32_t result, const std::optional<Bytes>& reply)
{
    uint32_t exitCode = 77;
    FUZZ_CHECK(GetExitCodeProcess(rapi, 1, exitCode) == result);
    FUZZ_CHECK(exitCode == (result == 0 && reply && reply->size() == 4 ? LE32(reply->data()) : 77u));
    FUZZ_CHECK(!rapi.readPacketLogging());
}

// The owner record is a raw registry value the device's owner typed in.
void CheckOwnerRecord(Rapi& rapi, const std::optional<Bytes>& record)
{
    HKEY key = 0;
    FUZZ_CHECK(rapi.CeRegCreateKeyEx(HKEY_CURRENT_USER, "ControlPanel\\Owner", std::nullopt, key, nullptr) == 0);
    FUZZ_CHECK(rapi.CeRegSetValueEx(key, "Owner", record.value_or(Bytes{})) == 0);
    rapi.CeRegCloseKey(key);
    if (auto name = ownerName(rapi))
        FUZZ_CHECK(!name->empty() && platform::IsValidUTF8(*name));
}

struct Call {
    const char* function;
    void (*check)(Rapi&, int32_t, const std::optional<Bytes>&);
};
const Call kCalls[] = {
    {"PXCeHasRichInk", CheckHasRichInk},         {"PXCeConvertFromFile", CheckConvertFromFile},
    {"PXCeGetSystemTime", CheckGetSystemTime},   {"GetDLLVersion", CheckVersion},
    {"PXCeGetExitCodeProcess", CheckExitCode},
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 5)
        return 0;
    auto& session = Session();
    const size_t which = data[0] & 0x7F;
    std::optional<Bytes> reply;
    if (!(data[0] & 0x80))
        reply = Bytes(data + 5, data + size);
    const auto result = static_cast<int32_t>(LE32(data + 1));

    if (which < std::size(kCalls)) {
        const Call& call = kCalls[which];
        session.device->replaceInvokeReply(call.function, result, reply, 1);
        call.check(*session.rapi, result, reply);
    } else {
        CheckOwnerRecord(*session.rapi, reply);
    }
    FUZZ_CHECK(session.device->outstandingReplyBlocks() == 0);
    // The library notes each conversion it is asked for; the notes are not under test.
    std::filesystem::remove(session.folder + "/library.plist");
    return 0;
}

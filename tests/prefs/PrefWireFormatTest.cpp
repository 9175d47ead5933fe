// What arrives over the bus is not trusted: bytes that do not hold the one-element
// array a value travels in read as nil, never as a crash or a half-read value.

#include "prefs/PrefWireFormat.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

using platform::PlistObject;

// Besides malformed bytes, values a binary list can carry but no sender means: a
// "text" that is not UTF-8, a key holding zero bytes (on which libplist's key
// getters stop the process) and a key given twice. Each read as a value once and
// broke the client or the server; those inputs are the fuzzer's, kept with its seeds.
TEST(PrefWireFormat, MalformedBytesAndValuesNoSenderMeansReadAsNil)
{
    auto seed = [](const std::string& name) {
        std::string bytes = testsupport::ReadFile(testsupport::SourcePath("fuzz/corpus/fuzz_pref_values/" + name));
        return PrefWireValue{(bytes.at(0) & 1) != 0, std::vector<uint8_t>(bytes.begin() + 1, bytes.end())};
    };
    PlistObject dict = PlistObject::dictionary();
    dict.set("a", PlistObject::integer(1));
    const std::vector<std::pair<std::string, PrefWireValue>> cases = {
        {"present without bytes", PrefWireValue{true, {}}},
        {"garbage", PrefWireValue{true, {'n', 'o', 't', ' ', 'a', ' ', 'l', 'i', 's', 't'}}},
        {"truncated binary", PrefWireValue{true, {'b', 'p', 'l', 'i', 's', 't', '0', '0', 1}}},
        {"bare dictionary", PrefWireValue{true, dict.toBinary()}},
        {"text-not-utf8", seed("text-not-utf8")},
        {"key-with-zero-bytes", seed("key-with-zero-bytes")},
        {"key-twice", seed("key-twice")},
    };
    for (const auto& [label, wire] : cases)
        EXPECT_FALSE(DecodePrefValue(wire).has_value()) << label;
    // A seed of the same shape that a sender does mean still reads, so the cases
    // above fail on their bytes alone.
    auto meant = DecodePrefValue(seed("dictionary"));
    ASSERT_TRUE(meant);
    EXPECT_TRUE(DecodePrefValue(EncodePrefValue(meant)) == meant);
}

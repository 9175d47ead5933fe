// What arrives over the bus is not trusted: bytes that do not hold the one-element
// array a value travels in read as nil, never as a crash or a half-read value.

#include "prefs/PrefWireFormat.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

using platform::PlistObject;

TEST(PrefWireFormat, MalformedBytesReadAsNil)
{
    PlistObject dict = PlistObject::dictionary();
    dict.set("a", PlistObject::integer(1));
    const std::vector<std::pair<std::string, PrefWireValue>> cases = {
        {"present without bytes", PrefWireValue{true, {}}},
        {"garbage", PrefWireValue{true, {'n', 'o', 't', ' ', 'a', ' ', 'l', 'i', 's', 't'}}},
        {"truncated binary", PrefWireValue{true, {'b', 'p', 'l', 'i', 's', 't', '0', '0', 1}}},
        {"bare dictionary", PrefWireValue{true, dict.toBinary()}},
        {"absent with bytes", PrefWireValue{false, EncodePrefValue(PlistObject::string("x")).get<1>()}},
    };
    for (const auto& [label, wire] : cases)
        EXPECT_FALSE(DecodePrefValue(wire).has_value()) << label;
    // What the encoder writes does read back, so the cases above fail on their bytes alone.
    EXPECT_TRUE(DecodePrefValue(EncodePrefValue(dict)) == dict);
}

// Values a binary list can carry but no sender means: a "text" that is not UTF-8, a
// key holding zero bytes (on which libplist's key getters stop the process) and a
// key given twice. Each read as a value once and broke the client or the server;
// the inputs are the fuzzer's, kept with its seeds.
TEST(PrefWireFormat, ValuesNoSenderMeansReadAsNil)
{
    auto wire = [](const std::string& seed) {
        std::string bytes = testsupport::ReadFile(testsupport::SourcePath("fuzz/corpus/fuzz_pref_values/" + seed));
        return PrefWireValue{(bytes.at(0) & 1) != 0, std::vector<uint8_t>(bytes.begin() + 1, bytes.end())};
    };
    for (const char* seed : {"text-not-utf8", "key-with-zero-bytes", "key-twice"})
        EXPECT_FALSE(DecodePrefValue(wire(seed)).has_value()) << seed;
    // A seed of the same shape that a sender does mean still reads.
    auto meant = DecodePrefValue(wire("dictionary"));
    ASSERT_TRUE(meant);
    EXPECT_TRUE(DecodePrefValue(EncodePrefValue(meant)) == meant);
}

// What arrives over the bus is not trusted: bytes that do not hold the one-element
// array a value travels in read as nil, never as a crash or a half-read value.

#include "prefs/PrefWireFormat.h"

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

#include "prefs/PrefWireFormat.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

using platform::PlistObject;

namespace {

PlistObject Dictionary()
{
    PlistObject dict = PlistObject::dictionary();
    dict.set("a", PlistObject::integer(1));
    dict.set("b", PlistObject::string("two"));
    return dict;
}

std::vector<uint8_t> Bytes(const std::string& text) { return std::vector<uint8_t>(text.begin(), text.end()); }

} // namespace

TEST(PrefWireFormat, EveryKindOfValueComesBackEqual)
{
    const std::vector<std::pair<std::string, PlistObject>> cases = {
        {"text", PlistObject::string("h\xC3\xA9llo")},
        {"empty text", PlistObject::string("")},
        {"negative int", PlistObject::integer(-5)},
        {"int32 min", PlistObject::integer(INT32_MIN)},
        {"large int", PlistObject::integer(int64_t{1} << 40)},
        {"true", PlistObject::boolean(true)},
        {"false", PlistObject::boolean(false)},
        {"real", PlistObject::real(2.5)},
        {"data", PlistObject::data({0, 1, 2, 255})},
        {"empty data", PlistObject::data({})},
        {"dictionary", Dictionary()},
    };
    for (const auto& [label, value] : cases) {
        PrefWireValue wire = EncodePrefValue(value);
        EXPECT_TRUE(wire.get<0>()) << label;
        auto back = DecodePrefValue(wire);
        ASSERT_TRUE(back.has_value()) << label;
        EXPECT_EQ(back->type(), value.type()) << label;
        EXPECT_TRUE(*back == value) << label;
    }
}

TEST(PrefWireFormat, NilAndNullTravelAsAbsent)
{
    for (const std::optional<PlistObject>& value : {std::optional<PlistObject>(), std::optional(PlistObject())}) {
        PrefWireValue wire = EncodePrefValue(value);
        EXPECT_FALSE(wire.get<0>());
        EXPECT_TRUE(wire.get<1>().empty());
        EXPECT_FALSE(DecodePrefValue(wire).has_value());
    }
}

TEST(PrefWireFormat, MalformedBytesReadAsNil)
{
    PlistObject pair(plist_new_array());
    plist_array_append_item(pair.node(), plist_new_string("x"));
    plist_array_append_item(pair.node(), plist_new_string("y"));
    const std::vector<std::pair<std::string, PrefWireValue>> cases = {
        {"present without bytes", PrefWireValue{true, {}}},
        {"garbage", PrefWireValue{true, Bytes("not a property list")}},
        {"truncated binary", PrefWireValue{true, Bytes("bplist00\x01")}},
        {"xml, not binary", PrefWireValue{true, Bytes("<?xml version=\"1.0\"?><plist version=\"1.0\"><array>"
                                                       "<string>x</string></array></plist>")}},
        {"bare dictionary", PrefWireValue{true, Dictionary().toBinary()}},
        {"two-element array", PrefWireValue{true, pair.toBinary()}},
        {"absent with bytes", PrefWireValue{false, EncodePrefValue(PlistObject::string("x")).get<1>()}},
    };
    for (const auto& [label, wire] : cases)
        EXPECT_FALSE(DecodePrefValue(wire).has_value()) << label;
}

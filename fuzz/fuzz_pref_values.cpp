// Preference values as they cross the bus from the server, which may send any
// bytes. Input: a first byte whose low bit says whether a value is present, then
// the value's bytes. Whatever arrives decodes to nil or to a value; a value the
// decoder gives encodes and decodes back to itself; and the typed reads of the
// client (integer, flag, date) take it without harm.

#include "FuzzSupport.h"

#include "prefs/PrefTypedValues.h"
#include "prefs/PrefWireFormat.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    const PrefWireValue wire{(data[0] & 1) != 0, std::vector<uint8_t>(data + 1, data + size)};
    auto value = DecodePrefValue(wire);
    if (!wire.get<0>())
        FUZZ_CHECK(!value);
    if (!value)
        return 0;

    const PrefWireValue again = EncodePrefValue(value);
    FUZZ_CHECK(again.get<0>());
    auto decoded = DecodePrefValue(again);
    FUZZ_CHECK(decoded && *decoded == *value);

    // The kinds a number can be read from are the kinds a flag can.
    FUZZ_CHECK(PrefIntValue(*value).has_value() == PrefBoolValue(*value).has_value());
    if (auto date = PrefDateValue(*value)) {
        // A date read from a value is one the client can write again as the same text.
        auto text = value->asString();
        FUZZ_CHECK(text);
        FUZZ_CHECK(platform::CalendarDate::parse(kCalendarFormat, date->format(kCalendarFormat)) == date);
    }
    return 0;
}

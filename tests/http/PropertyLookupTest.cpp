// Property lookup by name: "DAV_" + name + ":" on the most-derived store class.

#include "datasource/DataSource.h"
#include "platform/CalendarDate.h"

#include <gtest/gtest.h>

#include <regex>

namespace {

// Counts every date asked of it, so a lookup that should not reach a handler is seen.
class CountingStore : public DataSource {
public:
    std::optional<Date> getLastModified(const std::string&) override
    {
        ++dateCalls;
        return std::chrono::system_clock::from_time_t(1417392000);
    }
    int dateCalls = 0;
};

// Adds handlers: one for a listed name, one for a name outside the list.
class AddingStore : public CountingStore {
public:
    std::optional<std::string> DAV_quota(const std::string& uri) { return "quota of " + uri; }
    std::optional<std::string> DAV_unlisted(const std::string&) { return "never"; }
    std::optional<std::string> DAV_source(const std::string&) { return std::nullopt; }

    const PropertyHandlerTable& propertyHandlers() const override
    {
        static const PropertyHandlerTable table(
            DataSource::classPropertyHandlers(),
            {PropertyHandlerTable::entry<AddingStore>("DAV_quota:", &AddingStore::DAV_quota),
             PropertyHandlerTable::entry<AddingStore>("DAV_unlisted:", &AddingStore::DAV_unlisted),
             PropertyHandlerTable::entry<AddingStore>("DAV_source:", &AddingStore::DAV_source)});
        return table;
    }
};

// Replaces an inherited handler, and one below it in turn inherits the replacement.
class OverridingStore : public AddingStore {
public:
    std::optional<std::string> ownLastModified(const std::string&) { return "replaced"; }
    const PropertyHandlerTable& propertyHandlers() const override
    {
        static const PropertyHandlerTable table(
            AddingStore().propertyHandlers(),
            {PropertyHandlerTable::entry<OverridingStore>("DAV_getlastmodified:", &OverridingStore::ownLastModified)});
        return table;
    }
};

class InheritingStore : public OverridingStore {};

} // namespace

TEST(PropertyLookup, PlainStoreAnswersOnlyTheLastModifiedDate)
{
    DataSource store;
    auto before = std::chrono::system_clock::now();
    auto value = store.getProperty("getlastmodified", "/vol/x");
    ASSERT_TRUE(value);
    EXPECT_TRUE(std::regex_match(*value, std::regex("[A-Z][a-z]{2}, [0-9]{2} [A-Z][a-z]{2} [0-9]{4} "
                                                    "[0-9]{2}:[0-9]{2}:[0-9]{2} GMT")));
    EXPECT_TRUE(*value == platform::FormatHTTPDate(before) ||
                *value == platform::FormatHTTPDate(before + std::chrono::seconds(1)));
    // Listed names without a handler, and "creationdate", whose handler has a
    // different name, give no value.
    for (const char* name : {"resourcetype", "creationdate", "displayname", "getcontentlength", "quota",
                             "supportedlock"})
        EXPECT_EQ(store.getProperty(name, "/vol/x"), std::nullopt) << name;
}

TEST(PropertyLookup, NamesMatchExactlyAndReachNoHandlerOtherwise)
{
    CountingStore store;
    EXPECT_EQ(store.getProperty("getlastmodified", "/v/a"), std::optional<std::string>("Mon, 01 Dec 2014 00:00:00 GMT"));
    EXPECT_EQ(store.dateCalls, 1);
    for (const char* name : {"GetLastModified", "GETLASTMODIFIED", "getlastmodified ", " getlastmodified",
                             "getcreationdate", "getlastmodified:", ""}) {
        EXPECT_EQ(store.getProperty(name, "/v/a"), std::nullopt) << name;
    }
    EXPECT_EQ(store.dateCalls, 1);
}

TEST(PropertyLookup, SubclassesAddAndReplaceHandlers)
{
    AddingStore adding;
    DataSource& asBase = adding; // the lookup goes by the object, not the reference
    EXPECT_EQ(asBase.getProperty("quota", "/v/d"), std::optional<std::string>("quota of /v/d"));
    EXPECT_EQ(asBase.getProperty("unlisted", "/v/d"), std::nullopt); // a handler, but not a listed name
    EXPECT_EQ(asBase.getProperty("source", "/v/d"), std::nullopt);   // a handler that has no value
    EXPECT_EQ(asBase.getProperty("getlastmodified", "/v/d"),
              std::optional<std::string>("Mon, 01 Dec 2014 00:00:00 GMT")); // inherited
    EXPECT_EQ(asBase.getProperty("quotaused", "/v/d"), std::nullopt);

    InheritingStore inheriting;
    DataSource& deepest = inheriting;
    EXPECT_EQ(deepest.getProperty("getlastmodified", "/v/d"), std::optional<std::string>("replaced"));
    EXPECT_EQ(inheriting.dateCalls, 0);
    EXPECT_EQ(deepest.getProperty("quota", "/v/d"), std::optional<std::string>("quota of /v/d"));
}

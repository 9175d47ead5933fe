// Property lookup by name: "DAV_" + name + ":" on the most-derived store class.

#include "datasource/DataSource.h"

#include <gtest/gtest.h>

namespace {

// Counts the dates asked of it, so that a lookup that should reach no handler is
// seen; adds handlers for a listed name and for a name outside the list.
class AddingStore : public DataSource {
public:
    std::optional<Date> getLastModified(const std::string&) override
    {
        ++dateCalls;
        return std::chrono::system_clock::from_time_t(1417392000);
    }
    std::optional<std::string> DAV_quota(const std::string& uri) { return "quota of " + uri; }
    std::optional<std::string> DAV_unlisted(const std::string&) { return "never"; }
    const PropertyHandlerTable& propertyHandlers() const override
    {
        static const PropertyHandlerTable table(
            DataSource::classPropertyHandlers(),
            {PropertyHandlerTable::entry<AddingStore>("DAV_quota:", &AddingStore::DAV_quota),
             PropertyHandlerTable::entry<AddingStore>("DAV_unlisted:", &AddingStore::DAV_unlisted)});
        return table;
    }
    int dateCalls = 0;
};

// Replaces an inherited handler, and the class below it inherits the replacement.
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

TEST(PropertyLookup, ListedNamesSpeltExactlyReachTheMostDerivedHandler)
{
    AddingStore store;
    DataSource& asBase = store; // the lookup goes by the object, not the reference
    EXPECT_EQ(asBase.getProperty("getlastmodified", "/v/a"), "Mon, 01 Dec 2014 00:00:00 GMT"); // inherited
    EXPECT_EQ(asBase.getProperty("quota", "/v/a"), std::optional<std::string>("quota of /v/a"));
    // A handler for a name not listed; listed names without a handler ("creationdate"'s
    // handler is named for "getcreationdate", which is not listed); near misses.
    for (const char* name : {"unlisted", "resourcetype", "creationdate", "quotaused", "getcreationdate",
                             "GetLastModified", "QUOTA", "getlastmodified ", "getlastmodified:", ""})
        EXPECT_EQ(asBase.getProperty(name, "/v/a"), std::nullopt) << name;
    EXPECT_EQ(store.dateCalls, 1);

    InheritingStore inheriting; // takes the table of the class that replaced a handler
    DataSource& deepest = inheriting;
    EXPECT_EQ(deepest.getProperty("getlastmodified", "/v/d"), std::optional<std::string>("replaced"));
    EXPECT_EQ(inheriting.dateCalls, 0);
    EXPECT_EQ(deepest.getProperty("quota", "/v/d"), std::optional<std::string>("quota of /v/d"));
}

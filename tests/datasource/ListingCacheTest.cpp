// The kept listing: found by exact name, the first of a name, only while young;
// and small enough that a 10,000-member folder costs about a hundred bytes a member.

#include "datasource/ListingCache.h"

#include <gtest/gtest.h>

#include <malloc.h>

#include <cstdio>

namespace {

ListingCache::Members Named(std::initializer_list<const char*> names)
{
    ListingCache::Members members;
    for (const char* name : names) {
        ChildRecord& record = members.emplace_back();
        record.name = name;
        record.setSize(members.size()); // tells members of one name apart
    }
    return members;
}

} // namespace

TEST(ListingCache, FindsTheFirstOfAnExactNameWhileYoung)
{
    ListingCache cache;
    const auto t0 = std::chrono::steady_clock::time_point{} + std::chrono::hours(1);
    cache.keep(Named({"/vol/b", "/vol/a", "/vol/b", "/vol/c/"}), t0);

    const ChildRecord* b = cache.find("/vol/b", t0);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->size, 1u) << "the first listed of two members of one name";
    EXPECT_EQ(cache.find("/vol/a", t0)->size, 2u);
    for (const char* other : {"/vol/c", "/vol/", "/vol/bb", "/vol/0", "/vol/d"})
        EXPECT_EQ(cache.find(other, t0), nullptr) << other;

    const auto life = std::chrono::duration_cast<std::chrono::steady_clock::duration>(kCacheLife);
    EXPECT_NE(cache.find("/vol/a", t0 + life - std::chrono::milliseconds(1)), nullptr);
    EXPECT_EQ(cache.find("/vol/a", t0 + life), nullptr) << "as old as the cache life";

    cache.keep(Named({"/vol/x"}), t0 + life);
    EXPECT_EQ(cache.find("/vol/a", t0 + life), nullptr) << "replaced by the next listing";
    EXPECT_NE(cache.find("/vol/x", t0 + life), nullptr);
    cache.forget();
    EXPECT_EQ(cache.find("/vol/x", t0 + life), nullptr);
}

TEST(ListingCache, TenThousandMembersCostAboutAHundredBytesEach)
{
    constexpr size_t kMembers = 10000;
    auto listed = [] {
        ListingCache::Members members(kMembers);
        char name[64];
        for (size_t i = 0; i < kMembers; ++i) {
            // A device listing's member: a name, three dates, a size, attributes, a kind.
            std::snprintf(name, sizeof name, "/Device/My%%20Documents/f%05zu.bin", i);
            members[i].name = name;
            members[i].setCreated(ChildRecord::Date{});
            members[i].setModified(ChildRecord::Date{});
            members[i].setAccessed(ChildRecord::Date{});
            members[i].setAttributes(0x20);
            members[i].setSize(i);
            members[i].setCollection(false);
        }
        return members;
    };
    // Bytes in use, the large blocks the allocator maps by themselves included.
    auto inUse = [] {
        struct mallinfo2 info = ::mallinfo2();
        return info.uordblks + info.hblkhd;
    };
    ListingCache cache;
    size_t before = inUse();
    cache.keep(listed(), {});
    size_t perMember = (inUse() - before) / kMembers;
    RecordProperty("bytes_per_member", static_cast<int>(perMember));
    EXPECT_LT(perMember, 160u) << "bytes a member, with its name and the index";
    cache.forget();
    EXPECT_LT(inUse(), before + 1024) << "forgetting gives the memory back";
}

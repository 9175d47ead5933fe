#include "datasource/ListingCache.h"

#include <algorithm>

const ListingCache::Members& ListingCache::keep(Members listed, TimePoint now)
{
    forget();
    members = std::move(listed);
    made = now;
    byName.resize(members.size());
    for (uint32_t i = 0; i < byName.size(); ++i)
        byName[i] = i;
    // Stable, so that of two members of one name the first listed is found, as a scan would.
    // A device lists in its own name order, which is byte order for names in one
    // letter case: then there is nothing to sort.
    auto byBytes = [this](uint32_t a, uint32_t b) { return members[a].name < members[b].name; };
    if (!std::is_sorted(byName.begin(), byName.end(), byBytes))
        std::stable_sort(byName.begin(), byName.end(), byBytes);
    return members;
}

const ChildRecord* ListingCache::find(const std::string& name, TimePoint now) const
{
    if (members.empty() || now - made >= kCacheLife)
        return nullptr;
    auto it = std::lower_bound(byName.begin(), byName.end(), name,
                               [this](uint32_t index, const std::string& key) { return members[index].name < key; });
    return it != byName.end() && members[*it].name == name ? &members[*it] : nullptr;
}

void ListingCache::forget()
{
    // Gives the memory back, not only the members.
    Members().swap(members);
    std::vector<uint32_t>().swap(byName);
}

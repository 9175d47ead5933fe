// Each store outcome and the HTTP status it is answered with.

#include "dav/HttpStatusOf.h"

#include <gtest/gtest.h>

#include <utility>

TEST(HttpStatusOf, EachStoreOutcome)
{
    const std::pair<StoreStatus, int> cases[] = {
        {StoreStatus::Done, 204},       {StoreStatus::Created, 201},    {StoreStatus::NotFound, 404},
        {StoreStatus::Busy, 423},       {StoreStatus::Exists, 405},     {StoreStatus::Refused, 403},
        {StoreStatus::NotRemoved, 422}, {StoreStatus::NotMoved, 412},   {StoreStatus::NotStored, 424},
        {StoreStatus::TooLarge, 413},   {StoreStatus::NoSpace, 507},    {StoreStatus::Unsupported, 501},
    };
    for (const auto& [status, code] : cases)
        EXPECT_EQ(HttpStatusOf(status), code) << static_cast<int>(status);
}

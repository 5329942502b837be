#include <gtest/gtest.h>

#include <new>

#include "index/core/structures/alloc_fault.hpp"
#include "index/core/structures/bitmap.hpp"
#include "index/core/structures/bitmap_reserve.hpp"

using namespace tarnwick;

namespace {

// Fills enough containers that the library allocates several times.
Bitmap spread(uint32_t n) {
    Bitmap b;
    for (uint32_t i = 0; i < n; ++i) b.add(i * 70'001u);
    return b;
}

}  // namespace

TEST(BitmapReserve, ARefusedAllocationIsServedFromTheReserveAndTheReserveComesBack) {
    ASSERT_GT(install_bitmap_reserve(), 0u) << "the library's allocations are not routed";
    refuse_bitmap_allocations(1);
    Bitmap b = spread(500);
    refuse_bitmap_allocations(0);
    // The next allocation point mapped the reserve again: nothing to report.
    EXPECT_FALSE(bitmap_reserve_spent());
    EXPECT_EQ(b.cardinality(), 500u);
    EXPECT_TRUE(b.contains(499u * 70'001u));

    refuse_bitmap_allocations(1);
    Bitmap c = b | spread(20);
    refuse_bitmap_allocations(0);
    EXPECT_FALSE(bitmap_reserve_spent());
    EXPECT_EQ(c.cardinality(), 500u);
}

TEST(BitmapReserve, AReserveThatCannotComeBackFailsTheNextPointNotTheLibrary) {
    ASSERT_GT(install_bitmap_reserve(), 0u);
    Bitmap b = spread(10);
    Bitmap wide;
    refuse_bitmap_allocations(1, /*reserve_too=*/true);
    // The library's own call goes through: the reserve serves it.
    roaring_bitmap_add(wide.raw(), 5u << 20);
    EXPECT_TRUE(wide.contains(5u << 20));
    ASSERT_TRUE(bitmap_reserve_spent());
    EXPECT_THROW(alloc_point(), std::bad_alloc);
    EXPECT_THROW(b.clone(), std::bad_alloc);
    EXPECT_EQ(b.cardinality(), 10u);  // nothing half-done
    refuse_bitmap_allocations(0, false);
    EXPECT_NO_THROW(alloc_point());
    EXPECT_FALSE(bitmap_reserve_spent());
    EXPECT_EQ(b.clone().cardinality(), 10u);
}

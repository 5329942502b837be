#include <gtest/gtest.h>

#include "index/core/structures/buffered_bitmap.hpp"

using tarnwick::BufferedBitmap;

namespace {

template <uint32_t N>
void overflow_flushes_the_full_buffer_first() {
    BufferedBitmap<N> b;
    b.bitmap().add(1000000);  // direct additions coexist with the buffer
    for (uint32_t i = 0; i < N; ++i) b.add_buffered(i);
    EXPECT_EQ(b.buffered(), N);
    EXPECT_EQ(b.bitmap().cardinality(), 1u);

    b.add_buffered(N);
    EXPECT_EQ(b.buffered(), 1u);
    EXPECT_EQ(b.bitmap().cardinality(), N + 1);
    EXPECT_TRUE(b.bitmap().contains(N - 1));
    EXPECT_FALSE(b.bitmap().contains(N));

    b.flush();
    EXPECT_EQ(b.buffered(), 0u);
    EXPECT_TRUE(b.bitmap().contains(N));
    b.flush();
    EXPECT_EQ(b.bitmap().cardinality(), N + 2);

    // At rest a bitmap keeps no buffer; moving one takes its pending ids along.
    EXPECT_EQ(b.buffered_ids(), nullptr);
    static_assert(sizeof(BufferedBitmap<N>) <= 32);
    b.add_buffered(N + 7);
    BufferedBitmap<N> moved(std::move(b));
    EXPECT_EQ(b.buffered(), 0u);
    EXPECT_EQ(moved.buffered(), 1u);
    EXPECT_EQ(moved.buffered_ids()[0], N + 7);
    moved.flush();
    EXPECT_TRUE(moved.bitmap().contains(N + 7));
}

}  // namespace

TEST(BufferedBitmap, ThirtyThirdAdditionFlushes) { overflow_flushes_the_full_buffer_first<32>(); }
TEST(BufferedBitmap, SixtyFifthAdditionFlushes) { overflow_flushes_the_full_buffer_first<64>(); }

// The per-thread record of the engine lists a thread holds: a batch holds one
// per object, released guard by guard, and every check of "held here" must
// stay exact however the record's table fills, wraps and empties.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <memory>
#include <random>
#include <vector>

#include "index/core/object_lock.hpp"

namespace tarnwick::testing {
namespace {

class HeldLocks : public ::testing::TestWithParam<size_t> {};

TEST_P(HeldLocks, EveryHoldIsKnownUntilItsGuardReleasesIt) {
    const size_t count = GetParam();
    std::vector<Mutex> mutexes(count * 2);
    // Two guards taking alternate mutexes in a shuffled order, and a third
    // taking none: releasing one guard leaves exactly the other's.
    std::vector<size_t> order(mutexes.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::shuffle(order.begin(), order.end(), std::mt19937(7));
    auto first = std::make_unique<ObjectLocks>();
    ObjectLocks second;
    first->reserve(count);
    for (size_t i : order) {
        if (i % 2 == 0) {
            first->add(mutexes[i]);
        } else {
            // Held already by the first guard: tries, never waits.
            ASSERT_TRUE(second.try_add(mutexes[i]));
        }
    }
    ASSERT_TRUE(holds_object_locks());
    for (size_t i = 0; i < mutexes.size(); ++i) ASSERT_TRUE(holds_object_lock(mutexes[i])) << i;
    // A mutex this thread holds cannot be taken again by any guard.
    ObjectLocks third;
    EXPECT_FALSE(third.try_add(mutexes[0]));
    EXPECT_THROW(third.add(mutexes[1]), ObjectLockedError);
    first.reset();
    for (size_t i = 0; i < mutexes.size(); ++i) ASSERT_EQ(holds_object_lock(mutexes[i]), i % 2 == 1) << i;
    // Released for real: another guard takes it without waiting.
    ObjectLocks again;
    EXPECT_TRUE(again.try_add(mutexes[0]));
    again.release();
    second.release();
    EXPECT_FALSE(holds_object_locks());
    for (size_t i = 0; i < mutexes.size(); ++i) ASSERT_FALSE(holds_object_lock(mutexes[i])) << i;
}

INSTANTIATE_TEST_SUITE_P(Counts, HeldLocks, ::testing::Values(size_t(1), size_t(13), size_t(700), size_t(20000)));

}  // namespace
}  // namespace tarnwick::testing

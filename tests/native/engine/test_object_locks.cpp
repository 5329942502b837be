// The per-thread record of the engine lists a thread holds: a batch holds one
// per object, released guard by guard, and every check of "held here" must
// stay exact however the record's table fills, wraps and empties.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <random>
#include <tuple>
#include <vector>

#include "index/core/object_lock.hpp"

namespace tarnwick::testing {
namespace {

// Mutexes `stride` bytes apart: packed, as in one array, or each on a page
// of its own, where the low address bits of all of them agree.
class Strided {
public:
    Strided(size_t n, size_t stride) : stride_(stride), bytes_(n * stride + alignof(Mutex)) {
        for (size_t i = 0; i < n; ++i) new (at(i)) Mutex();
        n_ = n;
    }
    size_t size() const noexcept { return n_; }
    Mutex& operator[](size_t i) noexcept { return *static_cast<Mutex*>(at(i)); }

private:
    void* at(size_t i) noexcept {
        auto base = reinterpret_cast<uintptr_t>(bytes_.data());
        base = (base + alignof(Mutex) - 1) / alignof(Mutex) * alignof(Mutex);
        return reinterpret_cast<void*>(base + i * stride_);
    }
    size_t stride_;
    size_t n_ = 0;
    std::vector<unsigned char> bytes_;
};

class HeldLocks : public ::testing::TestWithParam<std::tuple<size_t, size_t>> {};

TEST_P(HeldLocks, EveryHoldIsKnownUntilItsGuardReleasesIt) {
    const auto [count, stride] = GetParam();
    Strided mutexes(count * 2, stride);
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

INSTANTIATE_TEST_SUITE_P(Counts, HeldLocks,
                         ::testing::Combine(::testing::Values(size_t(1), size_t(13), size_t(700), size_t(5000)),
                                            ::testing::Values(sizeof(Mutex), size_t(4096))));

}  // namespace
}  // namespace tarnwick::testing

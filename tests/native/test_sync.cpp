#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include "index/core/structures/sync.hpp"

using namespace tarnwick;

namespace {

// Threads that contend for one Mutex: the protected counter loses no update
// (a lock that let two holders in would), every waiter is woken (a lost
// wake-up hangs the test), and the per-thread tallies balance.
class MutexContention : public ::testing::TestWithParam<int> {};

TEST_P(MutexContention, HoldersExcludeEachOtherAndWaitersWake) {
    const int threads = GetParam();
    constexpr int rounds = 20000;
    Mutex m;
    uint64_t counter = 0;  // guarded by m; a plain field so that a race shows
    std::atomic<int> inside{0};
    std::atomic<int> overlaps{0};
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t) {
        pool.emplace_back([&] {
            for (int i = 0; i < rounds; ++i) {
                if (i % 3 == 0) {
                    while (!m.try_lock()) std::this_thread::yield();
                } else {
                    m.lock();
                }
                if (inside.fetch_add(1) != 0) overlaps.fetch_add(1);
                EXPECT_EQ(native_locks_held, 1);
                ++counter;
                inside.fetch_sub(1);
                m.unlock();
            }
            EXPECT_EQ(native_locks_held, 0);
            EXPECT_EQ(gate_holds, 0);
        });
    }
    for (std::thread& th : pool) th.join();
    EXPECT_EQ(overlaps.load(), 0);
    EXPECT_EQ(counter, uint64_t(threads) * rounds);
    EXPECT_TRUE(m.try_lock()) << "left locked";
    m.unlock();
}

INSTANTIATE_TEST_SUITE_P(Threads, MutexContention, ::testing::Values(1, 2, 4, 8));

TEST(WordLock, TryLockFailsWhileHeldAndSucceedsAfter) {
    WordLock l;
    EXPECT_TRUE(l.try_lock());
    EXPECT_FALSE(l.try_lock());
    std::thread other([&] { EXPECT_FALSE(l.try_lock()); });
    other.join();
    l.unlock();
    EXPECT_TRUE(l.try_lock());
    l.unlock();
}

}  // namespace

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <set>
#include <thread>
#include <vector>

#include "run_bounded.hpp"
#include "index/core/structures/id_alloc.hpp"

using namespace tarnwick;
using tarnwick::testing::run_bounded;

namespace {

// Takes every id currently waiting for reuse, so that the next allocations
// come from the counter.
std::vector<uint32_t> drain_free_ids() {
    std::vector<uint32_t> taken;
    while (free_id_count() > 0) taken.push_back(allocate_id());
    return taken;
}

}  // namespace

TEST(IdAlloc, ReleasedIdsComeBackLastFreedFirst) {
    uint32_t a = allocate_id();
    uint32_t b = allocate_id();
    uint32_t c = allocate_id();
    ASSERT_NE(a, b);

    free_id(b);
    EXPECT_EQ(allocate_id(), b);

    free_id(a);
    free_id(c);
    free_id(b);
    EXPECT_EQ(allocate_id(), b);
    EXPECT_EQ(allocate_id(), c);
    EXPECT_EQ(allocate_id(), a);

    free_id(a);
    free_id(b);
    free_id(c);
}

TEST(IdAlloc, CounterIssuesConsecutiveNonZeroIdsWhenNothingIsFree) {
    std::vector<uint32_t> held = drain_free_ids();
    ASSERT_EQ(free_id_count(), 0u);
    uint32_t first = allocate_id();
    uint32_t second = allocate_id();
    EXPECT_NE(first, 0u);
    EXPECT_EQ(second, first + 1);
    EXPECT_EQ(free_id_count(), 0u);

    free_id(first);
    EXPECT_EQ(free_id_count(), 1u);
    // A free id is preferred to advancing the counter.
    EXPECT_EQ(allocate_id(), first);

    free_id(first);
    free_id(second);
    for (uint32_t id : held) free_id(id);
}

TEST(IdAlloc, ConcurrentCallersNeverShareAnId) {
    constexpr int THREADS = 4;
    constexpr int ROUNDS = 4000;
    std::vector<std::vector<uint32_t>> kept(THREADS);
    std::vector<std::function<void()>> jobs;
    for (int t = 0; t < THREADS; ++t) {
        jobs.emplace_back([&kept, t] {
            std::vector<uint32_t>& mine = kept[t];
            for (int i = 0; i < ROUNDS; ++i) {
                mine.push_back(allocate_id());
                // Return every third id at once so that reuse races with fresh
                // allocation in the other threads.
                if (i % 3 == 2) {
                    free_id(mine.back());
                    mine.pop_back();
                }
            }
        });
    }
    run_bounded(std::move(jobs));

    std::set<uint32_t> seen;
    size_t total = 0;
    for (const auto& mine : kept) {
        for (uint32_t id : mine) {
            EXPECT_NE(id, 0u);
            seen.insert(id);
            ++total;
        }
    }
    EXPECT_EQ(seen.size(), total) << "an id was held by two callers at once";
    for (const auto& mine : kept) {
        for (uint32_t id : mine) free_id(id);
    }
}

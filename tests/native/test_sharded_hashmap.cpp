#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "run_bounded.hpp"
#include "index/core/structures/hybrid_set.hpp"
#include "index/core/structures/sharded_hashmap.hpp"

using tarnwick::HybridSet;
using tarnwick::testing::run_bounded;

namespace {

// A key whose stored hash is chosen by the test, so collisions are easy to make.
struct FakeKey {
    uint64_t hash;
    uint32_t name;
    uint64_t stored_hash() const { return hash; }
    bool operator==(const FakeKey&) const = default;
};

using Map = tarnwick::ShardedHashMap<FakeKey, HybridSet>;

uint32_t rotl(uint32_t x, int r) { return (x << r) | (x >> (32 - r)); }

void add_id(Map& m, const FakeKey& k, uint32_t id) {
    auto shard = m.get_shard(k);
    auto [it, fresh] = shard->try_emplace(k, HybridSet::with_id(id));
    if (!fresh) it->second.add(id);
}

}  // namespace

TEST(ShardedHashMap, ShardComesFromTheStoredHash) {
    Map m;
    EXPECT_EQ(m.shard_count(), 16u);
    EXPECT_EQ(m.shard_mask(), 15u);
    std::mt19937_64 rng(3);
    for (int i = 0; i < 1000; ++i) {
        uint64_t h = rng();
        uint32_t lo = uint32_t(h), hi = uint32_t(h >> 32);
        uint32_t want = rotl((lo * 0x93d765ddu + hi) * 0x93d765ddu, 15) & 15;
        ASSERT_EQ(m.shard_index({h, 1}), want);
        ASSERT_EQ(m.shard_index({h, 2}), want);  // equal hashes, one shard
    }
    EXPECT_THROW(Map::with_shard_count(12), std::invalid_argument);
    EXPECT_EQ(Map::with_shard_count(4).shard_mask(), 3u);
}

TEST(ShardedHashMap, CollidingKeysStayDistinctAndGetCopies) {
    Map m;
    add_id(m, {42, 1}, 10);
    add_id(m, {42, 2}, 20);
    add_id(m, {42, 1}, 11);
    EXPECT_EQ(m.get({42, 1})->to_vector(), (std::vector<uint32_t>{10, 11}));
    EXPECT_EQ(m.get({42, 2})->to_vector(), std::vector<uint32_t>{20});
    EXPECT_FALSE(m.get({42, 3}).has_value());

    std::optional<HybridSet> snapshot = m.get({42, 1});
    snapshot->add(99);
    EXPECT_FALSE(m.get({42, 1})->contains(99));

    size_t seen = 0;
    m.for_each_shard_write([](Map::Map& shard) {
        for (auto& [k, v] : shard) v.add(7);
    });
    m.for_each_shard_read([&](const Map::Map& shard) {
        for (auto& [k, v] : shard) seen += v.contains(7);
    });
    EXPECT_EQ(seen, 2u);
    EXPECT_EQ(m.size(), 2u);
}

TEST(ShardedHashMap, ConcurrentWritersLeaveExactContent) {
    Map m;
    constexpr uint32_t kThreads = 4, kKeys = 3000, kShared = 8;
    std::vector<std::function<void()>> jobs;
    for (uint32_t t = 0; t < kThreads; ++t)
        jobs.push_back([&m, t] {
            for (uint32_t i = 0; i < kKeys; ++i) {
                // Own keys: some hashes collide across threads on purpose.
                add_id(m, {i % 50, t * kKeys + i}, i);
                add_id(m, {1000 + i % kShared, 0}, t * kKeys + i);
                if (i % 3 == 0) {
                    auto shard = m.get_shard({i % 50, t * kKeys + i});
                    shard->erase({i % 50, t * kKeys + i});
                }
                if (i % 2) m.get({1000 + i % kShared, 0});
            }
        });
    run_bounded(std::move(jobs));

    std::map<uint32_t, std::set<uint32_t>> shared;
    for (uint32_t t = 0; t < kThreads; ++t)
        for (uint32_t i = 0; i < kKeys; ++i) {
            std::optional<HybridSet> own = m.get({i % 50, t * kKeys + i});
            ASSERT_EQ(own.has_value(), i % 3 != 0);
            if (own) {
                EXPECT_EQ(own->to_vector(), std::vector<uint32_t>{i});
            }
            shared[i % kShared].insert(t * kKeys + i);
        }
    for (auto& [k, ids] : shared)
        EXPECT_EQ(m.get({1000 + k, 0})->to_vector(), std::vector<uint32_t>(ids.begin(), ids.end()));
    size_t own_left = 0;
    for (uint32_t i = 0; i < kKeys; ++i) own_left += i % 3 != 0;
    EXPECT_EQ(m.size(), kThreads * own_left + kShared);
}

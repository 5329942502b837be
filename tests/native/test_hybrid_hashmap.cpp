#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <optional>
#include <random>
#include <utility>
#include <vector>

#include "index/core/structures/hybrid_hashmap.hpp"

using namespace tarnwick;

namespace {

// A value that keeps score of its own lifetime: live instances, and any
// destruction of something that is not a live instance (double destruction,
// or destruction of a slot that was never constructed).
struct Tracked {
    static constexpr uint32_t ALIVE = 0xA11CE;
    static constexpr uint32_t DEAD = 0xDEAD;
    static inline long live = 0;
    static inline long bad_destructions = 0;

    int value;
    uint32_t cookie = ALIVE;

    explicit Tracked(int v) : value(v) { ++live; }
    Tracked(const Tracked& o) : value(o.value) { ++live; }
    Tracked(Tracked&& o) noexcept : value(o.value) {
        o.value = -1;
        ++live;
    }
    Tracked& operator=(const Tracked&) = default;
    Tracked& operator=(Tracked&& o) noexcept {
        value = o.value;
        o.value = -1;
        return *this;
    }
    ~Tracked() {
        if (cookie != ALIVE) ++bad_destructions;
        cookie = DEAD;
        --live;
    }
};

class HybridHashmapTest : public ::testing::Test {
protected:
    void SetUp() override {
        Tracked::live = 0;
        Tracked::bad_destructions = 0;
    }
    void TearDown() override {
        EXPECT_EQ(Tracked::live, 0) << "values leaked or destroyed twice";
        EXPECT_EQ(Tracked::bad_destructions, 0);
    }
};

using Map = HybridHashmap<uint32_t, Tracked>;

std::vector<std::pair<uint32_t, int>> pairs_of(const Map& m) {
    std::vector<std::pair<uint32_t, int>> out;
    m.for_each([&](const uint32_t& k, const Tracked& v) { out.emplace_back(k, v.value); });
    return out;
}

}  // namespace

TEST_F(HybridHashmapTest, EightKeysStayInlineInAssignmentOrder) {
    Map m;
    EXPECT_TRUE(m.is_small());
    EXPECT_EQ(m.len(), 0u);
    EXPECT_EQ(m.get(0), nullptr);

    const uint32_t keys[8] = {40, 3, 0, 17, 0xFFFFFFFFu, 8, 1, 99};
    std::vector<std::pair<uint32_t, int>> expected;
    for (int i = 0; i < 8; ++i) {
        m.insert(keys[i], Tracked(i * 10));
        expected.emplace_back(keys[i], i * 10);
    }
    EXPECT_TRUE(m.is_small());
    EXPECT_EQ(m.len(), 8u);
    EXPECT_EQ(pairs_of(m), expected);
    EXPECT_EQ(m.get(2), nullptr);
    ASSERT_NE(m.get(0xFFFFFFFFu), nullptr);
    EXPECT_EQ(m.get(0xFFFFFFFFu)->value, 40);
    EXPECT_EQ(Tracked::live, 8);
}

TEST_F(HybridHashmapTest, ReassignmentKeepsSlotAndCount) {
    Map m;
    m.insert(5, Tracked(1));
    m.insert(6, Tracked(2));
    m.insert(7, Tracked(3));
    m.insert(6, Tracked(20));
    m.insert(6, Tracked(200));
    EXPECT_EQ(m.len(), 3u);
    EXPECT_EQ(pairs_of(m), (std::vector<std::pair<uint32_t, int>>{{5, 1}, {6, 200}, {7, 3}}));
    EXPECT_EQ(Tracked::live, 3) << "replaced values must be released";

    auto old = m.exchange(5, Tracked(100));
    ASSERT_TRUE(old.has_value());
    EXPECT_EQ(old->value, 1);
    EXPECT_EQ(m.get(5)->value, 100);
    EXPECT_FALSE(m.exchange(8, Tracked(4)).has_value());
    EXPECT_EQ(m.len(), 4u);
}

TEST_F(HybridHashmapTest, NinthKeySwitchesToHashMapKeepingEveryPair) {
    Map m;
    for (uint32_t k = 0; k < 8; ++k) m.insert(k * 7, Tracked(static_cast<int>(k)));
    m.insert(3 * 7, Tracked(33));  // an existing key does not count as the ninth
    EXPECT_TRUE(m.is_small());

    m.insert(1000, Tracked(8));
    EXPECT_FALSE(m.is_small());
    EXPECT_EQ(m.len(), 9u);
    EXPECT_EQ(Tracked::live, 9) << "the switch must not leak or duplicate values";
    for (uint32_t k = 0; k < 8; ++k) {
        ASSERT_NE(m.get(k * 7), nullptr) << k;
        EXPECT_EQ(m.get(k * 7)->value, k == 3 ? 33 : static_cast<int>(k));
    }
    EXPECT_EQ(m.get(1000)->value, 8);
    EXPECT_EQ(m.get(1), nullptr);

    std::map<uint32_t, int> visited;
    m.for_each([&](const uint32_t& k, const Tracked& v) { EXPECT_TRUE(visited.emplace(k, v.value).second); });
    EXPECT_EQ(visited.size(), 9u);

    m.insert(1000, Tracked(80));
    m.insert(14, Tracked(140));
    EXPECT_EQ(m.len(), 9u);
    EXPECT_EQ(m.get(1000)->value, 80);
    EXPECT_EQ(m.get(14)->value, 140);
    EXPECT_EQ(Tracked::live, 9);
}

TEST_F(HybridHashmapTest, HashFormGrowsPastItsFirstBuckets) {
    Map m;
    for (uint32_t k = 0; k < 1000; ++k) m.insert(k * 32, Tracked(static_cast<int>(k)));
    EXPECT_EQ(m.len(), 1000u);
    for (uint32_t k = 0; k < 1000; ++k) {
        ASSERT_NE(m.get(k * 32), nullptr);
        ASSERT_EQ(m.get(k * 32)->value, static_cast<int>(k));
        ASSERT_EQ(m.get(k * 32 + 1), nullptr);
    }
    EXPECT_EQ(Tracked::live, 1000);
}

TEST_F(HybridHashmapTest, ClearAndMoveReleaseEveryValueOnce) {
    for (uint32_t n : {0u, 3u, 8u, 9u, 40u}) {
        Map a;
        for (uint32_t k = 0; k < n; ++k) a.insert(k, Tracked(static_cast<int>(k)));
        Map b(std::move(a));
        EXPECT_EQ(a.len(), 0u);
        EXPECT_TRUE(a.is_small());
        EXPECT_EQ(b.len(), n);
        EXPECT_EQ(Tracked::live, static_cast<long>(n));

        // The moved-from map is usable again.
        a.insert(500, Tracked(5));
        EXPECT_EQ(a.get(500)->value, 5);

        Map c;
        c.insert(1, Tracked(-7));
        c = std::move(b);
        EXPECT_EQ(c.len(), n);
        if (n > 1) {
            EXPECT_EQ(c.get(1)->value, 1);
        }
        EXPECT_EQ(Tracked::live, static_cast<long>(n) + 1);

        c.clear();
        EXPECT_EQ(c.len(), 0u);
        EXPECT_TRUE(c.is_small());
        EXPECT_EQ(c.get(0), nullptr);
        EXPECT_EQ(Tracked::live, 1);
        c.insert(2, Tracked(2));
        EXPECT_EQ(c.len(), 1u);
    }
}

namespace {

// A value whose destructor looks into the map that held it, as a Python
// object's finaliser may do.
struct Peeking {
    HybridHashmap<uint32_t, Peeking>* map;
    std::vector<size_t>* seen_len;
    std::vector<bool>* seen_self;
    uint32_t key;

    Peeking(HybridHashmap<uint32_t, Peeking>* m, std::vector<size_t>* l, std::vector<bool>* s, uint32_t k)
        : map(m), seen_len(l), seen_self(s), key(k) {}
    Peeking(Peeking&& o) noexcept : map(std::exchange(o.map, nullptr)), seen_len(o.seen_len), seen_self(o.seen_self), key(o.key) {}
    Peeking& operator=(Peeking&& o) noexcept {
        map = std::exchange(o.map, nullptr);
        seen_len = o.seen_len;
        seen_self = o.seen_self;
        key = o.key;
        return *this;
    }
    ~Peeking() {
        if (!map) return;
        seen_len->push_back(map->len());
        seen_self->push_back(map->get(key) != nullptr);
    }
};

}  // namespace

TEST(HybridHashmapReentry, ReleasedValuesSeeAConsistentMap) {
    for (uint32_t n : {3u, 12u}) {
        HybridHashmap<uint32_t, Peeking> m;
        std::vector<size_t> lens;
        std::vector<bool> selves;
        for (uint32_t k = 0; k < n; ++k) m.insert(k, Peeking(&m, &lens, &selves, k));
        ASSERT_TRUE(lens.empty());

        // Replacing: the old value goes once the new one is in place.
        m.insert(1, Peeking(&m, &lens, &selves, 1));
        ASSERT_EQ(lens.size(), 1u);
        EXPECT_EQ(lens[0], n);
        EXPECT_TRUE(selves[0]);

        // Clearing: every value goes after the map is already empty.
        lens.clear();
        selves.clear();
        m.clear();
        ASSERT_EQ(lens.size(), n);
        for (size_t i = 0; i < n; ++i) {
            EXPECT_EQ(lens[i], 0u);
            EXPECT_FALSE(selves[i]);
        }
    }
}

TEST_F(HybridHashmapTest, AgreesWithStdMapUnderRandomAssignments) {
    for (uint32_t seed = 1; seed <= 20; ++seed) {
        std::mt19937 rng(seed);
        // Small key ranges keep many runs near the eight-key boundary.
        uint32_t range = 4 + rng() % 40;
        Map m;
        std::map<uint32_t, int> model;
        for (int step = 0; step < 200; ++step) {
            uint32_t key = rng() % range * 2654435761u;
            int value = static_cast<int>(rng() % 1000);
            m.insert(key, Tracked(value));
            model[key] = value;

            ASSERT_EQ(m.len(), model.size());
            ASSERT_EQ(m.is_small(), model.size() <= 8);
            ASSERT_EQ(m.get(key)->value, value);
        }
        for (uint32_t probe = 0; probe < range + 5; ++probe) {
            uint32_t key = probe * 2654435761u;
            auto it = model.find(key);
            const Tracked* got = m.get(key);
            if (it == model.end()) {
                EXPECT_EQ(got, nullptr);
            } else {
                ASSERT_NE(got, nullptr);
                EXPECT_EQ(got->value, it->second);
            }
        }
        std::map<uint32_t, int> visited;
        m.for_each([&](const uint32_t& k, const Tracked& v) { visited.emplace(k, v.value); });
        EXPECT_EQ(visited, model) << "seed " << seed;
        EXPECT_EQ(Tracked::live, static_cast<long>(model.size()));
    }
}

// The small form grows its block step by step: every pair must survive each
// move into a larger block (under the sanitizers a slot read past the block,
// or a value moved from a slot that was never built, fails here), and the
// block never has room for more than the next step asks.
class HybridHashmapGrowthTest : public HybridHashmapTest, public ::testing::WithParamInterface<uint32_t> {};

TEST_P(HybridHashmapGrowthTest, EveryPairSurvivesEachCapacityStep) {
    const uint32_t n = GetParam();
    Map m;
    EXPECT_EQ(m.small_capacity(), 0u) << "an empty map allocates nothing";
    size_t last_capacity = 0;
    for (uint32_t k = 0; k < n; ++k) {
        m.insert(1000 - k * 3, Tracked(static_cast<int>(k)));
        ASSERT_EQ(m.len(), k + 1);
        if (k + 1 <= Map::SMALL_CAPACITY) {
            ASSERT_TRUE(m.is_small());
            const size_t capacity = m.small_capacity();
            ASSERT_GE(capacity, k + 1);
            ASSERT_GE(capacity, last_capacity);
            // Room for at most half again what it holds (and two spare at most).
            ASSERT_LE(capacity, std::max<size_t>(k + 1 + 2, (k + 1) * 3 / 2)) << "after " << k + 1 << " pairs";
            last_capacity = capacity;
        } else {
            ASSERT_FALSE(m.is_small());
        }
        // Every earlier pair reads back after each insertion.
        for (uint32_t j = 0; j <= k; ++j) {
            const Tracked* got = m.get(1000 - j * 3);
            ASSERT_NE(got, nullptr) << j << " of " << k;
            ASSERT_EQ(got->value, static_cast<int>(j));
        }
    }
    // Replacing each value in place hands back the old one and keeps the order.
    for (uint32_t k = 0; k < n; ++k) {
        std::optional<Tracked> old = m.exchange(1000 - k * 3, Tracked(static_cast<int>(k) + 500));
        ASSERT_TRUE(old.has_value());
        ASSERT_EQ(old->value, static_cast<int>(k));
    }
    std::vector<std::pair<uint32_t, int>> expected;
    for (uint32_t k = 0; k < n; ++k) expected.emplace_back(1000 - k * 3, static_cast<int>(k) + 500);
    EXPECT_EQ(pairs_of(m), expected);
    EXPECT_EQ(Tracked::live, static_cast<long>(n));

    Map moved(std::move(m));
    EXPECT_EQ(m.len(), 0u);
    EXPECT_EQ(pairs_of(moved), expected);
    moved.clear();
    EXPECT_EQ(Tracked::live, 0);
    moved.insert(7, Tracked(7));  // usable again after clear
    EXPECT_EQ(moved.get(7)->value, 7);
}

INSTANTIATE_TEST_SUITE_P(Sizes, HybridHashmapGrowthTest, ::testing::Values(0u, 1u, 2u, 3u, 4u, 5u, 6u, 7u, 8u, 9u, 17u));

// A first pair given room for `room` pairs: the block fits exactly that many
// (at most the small form's), takes them without moving, and past them grows
// by the usual steps, never beyond the small form's room, into the hash form
// at the ninth; every pair survives each move.
class HybridHashmapRoomTest : public HybridHashmapTest,
                              public ::testing::WithParamInterface<std::pair<uint32_t, uint32_t>> {};

TEST_P(HybridHashmapRoomTest, ABlockSizedToAHintHoldsThatManyThenGrowsAsUsual) {
    const auto [room, n] = GetParam();
    Map m;
    const uint32_t expected_room = std::clamp<uint32_t>(room, 1, Map::SMALL_CAPACITY);
    for (uint32_t k = 0; k < n; ++k) {
        m.exchange(k * 7 + 1, Tracked(static_cast<int>(k)), k == 0 ? room : 0);
        if (k + 1 <= expected_room) {
            ASSERT_EQ(m.small_capacity(), expected_room) << "after " << k + 1 << " pairs";
        } else if (k + 1 <= Map::SMALL_CAPACITY) {
            ASSERT_TRUE(m.is_small());
            ASSERT_GE(m.small_capacity(), k + 1);
            ASSERT_LE(m.small_capacity(), Map::SMALL_CAPACITY);
        } else {
            ASSERT_FALSE(m.is_small());
        }
        for (uint32_t j = 0; j <= k; ++j) {
            const Tracked* got = m.get(j * 7 + 1);
            ASSERT_NE(got, nullptr) << j << " of " << k;
            ASSERT_EQ(got->value, static_cast<int>(j));
        }
    }
    EXPECT_EQ(m.len(), n);
    EXPECT_EQ(Tracked::live, static_cast<long>(n));
    // A hint given to a replacement or to a map with room changes nothing.
    if (n > 0) {
        const size_t capacity = m.small_capacity();
        m.exchange(1, Tracked(-5), Map::SMALL_CAPACITY);
        EXPECT_EQ(m.small_capacity(), capacity);
        EXPECT_EQ(m.get(1)->value, -5);
    }
}

INSTANTIATE_TEST_SUITE_P(Rooms, HybridHashmapRoomTest,
                         ::testing::Values(std::pair{0u, 3u}, std::pair{1u, 2u}, std::pair{3u, 3u}, std::pair{3u, 9u},
                                           std::pair{5u, 8u}, std::pair{7u, 7u}, std::pair{7u, 8u}, std::pair{7u, 9u},
                                           std::pair{8u, 10u}, std::pair{40u, 8u}, std::pair{40u, 9u}));

// Keys and values share one block: a value type wider than the key must
// start at its own alignment after the keys, whatever the capacity.
TEST(HybridHashmapBlock, ValuesStartAlignedAfterTheKeys) {
    struct alignas(16) Wide {
        uint64_t a, b;
    };
    using Block = SmallKVBlock<uint32_t, Wide>;
    for (uint32_t capacity = 1; capacity <= Block::MAX_CAPACITY; capacity = Block::grown(capacity)) {
        EXPECT_EQ(Block::values_at(capacity) % alignof(Wide), 0u) << capacity;
        EXPECT_GE(Block::values_at(capacity), capacity * sizeof(uint32_t)) << capacity;
    }
    HybridHashmap<uint32_t, Wide> m;
    for (uint32_t k = 0; k < 8; ++k) {
        m.insert(k, Wide{k, ~uint64_t(k)});
        for (uint32_t j = 0; j <= k; ++j) {
            ASSERT_EQ(reinterpret_cast<uintptr_t>(m.get(j)) % alignof(Wide), 0u);
            ASSERT_EQ(m.get(j)->a, j);
            ASSERT_EQ(m.get(j)->b, ~uint64_t(j));
        }
    }
}

// Undoing an assignment takes its pair out again: from either form and any
// position, the others keep their values and their order, and every value is
// destroyed once.
class HybridHashmapTakeTest : public HybridHashmapTest, public ::testing::WithParamInterface<uint32_t> {};

TEST_P(HybridHashmapTakeTest, TakingAPairKeepsTheOthersInOrder) {
    const uint32_t n = GetParam();
    for (uint32_t victim : {0u, n / 2, n - 1}) {
        Map m;
        std::vector<std::pair<uint32_t, int>> expected;
        for (uint32_t i = 0; i < n; ++i) {
            m.insert(i * 7 + 3, Tracked(static_cast<int>(i) * 10));
            if (i != victim) expected.emplace_back(i * 7 + 3, static_cast<int>(i) * 10);
        }
        std::optional<Tracked> taken = m.take(victim * 7 + 3);
        ASSERT_TRUE(taken.has_value());
        EXPECT_EQ(taken->value, static_cast<int>(victim) * 10);
        EXPECT_FALSE(m.take(victim * 7 + 3).has_value());
        EXPECT_EQ(m.get(victim * 7 + 3), nullptr);
        EXPECT_EQ(pairs_of(m), expected);
        for (const auto& [key, value] : expected) EXPECT_EQ(m.get(key)->value, value);
        m.insert(victim * 7 + 3, Tracked(-5));  // the name can be set again
        EXPECT_EQ(m.get(victim * 7 + 3)->value, -5);
        EXPECT_EQ(m.len(), n);
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, HybridHashmapTakeTest, ::testing::Values(1u, 2u, 5u, 8u, 9u, 20u));

// A reader may keep the map's one word beside its object and look keys up
// through it: in every form (nothing yet, each block size, the hash form,
// after a pair is taken out and after clear) the word taken after the last
// write answers exactly as the map does, and reads inside the block (a
// stale length or a value offset computed for another room fails under the
// sanitizers). A write that moves the pairs hands out a new word.
class HybridHashmapWordTest : public HybridHashmapTest, public ::testing::WithParamInterface<uint32_t> {};

TEST_P(HybridHashmapWordTest, TheWordAnswersAsTheMapAfterEveryWrite) {
    const uint32_t n = GetParam();
    static_assert(sizeof(Map) == sizeof(void*), "the map is one word");
    Map m;
    EXPECT_EQ(m.raw(), nullptr);
    EXPECT_EQ(Map::find_in(m.raw(), 5), nullptr);
    auto agrees = [&](uint32_t upto) {
        const void* word = m.raw();
        for (uint32_t k = 0; k <= upto + 1; ++k) {
            const Tracked* direct = m.get(k * 11 + 2);
            ASSERT_EQ(Map::find_in(word, k * 11 + 2), direct) << "key " << k << " of " << upto;
        }
    };
    size_t moves = 0;
    for (uint32_t k = 0; k < n; ++k) {
        const void* before = m.raw();
        const size_t room = m.small_capacity();
        m.insert(k * 11 + 2, Tracked(static_cast<int>(k)));
        // The pairs move exactly when the block was full (or the form changes).
        const bool full = m.is_small() ? room == k : room != 0 || before == nullptr;
        if (m.raw() != before) ++moves;
        if (k < Map::SMALL_CAPACITY) EXPECT_EQ(m.raw() != before, full) << "after " << k + 1 << " pairs";
        agrees(k);
    }
    if (n > 0) EXPECT_GT(moves, 0u);
    // Replacing in place keeps the word.
    for (uint32_t k = 0; k < n; ++k) {
        const void* before = m.raw();
        m.insert(k * 11 + 2, Tracked(static_cast<int>(k) + 100));
        EXPECT_EQ(m.raw(), before);
        EXPECT_EQ(Map::find_in(m.raw(), k * 11 + 2)->value, static_cast<int>(k) + 100);
    }
    if (n > 0) {
        std::optional<Tracked> taken = m.take((n / 2) * 11 + 2);
        ASSERT_TRUE(taken.has_value());
        EXPECT_EQ(Map::find_in(m.raw(), (n / 2) * 11 + 2), nullptr);
        agrees(n);
    }
    m.clear();
    EXPECT_EQ(m.raw(), nullptr);
    EXPECT_EQ(Map::find_in(m.raw(), 2), nullptr);
}

INSTANTIATE_TEST_SUITE_P(Sizes, HybridHashmapWordTest, ::testing::Values(0u, 1u, 2u, 3u, 5u, 8u, 9u, 30u));

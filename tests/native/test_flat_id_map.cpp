#include <gtest/gtest.h>

#include <map>
#include <random>
#include <vector>

#include "index/core/structures/flat_id_map.hpp"

using tarnwick::FlatIdMap;

namespace {

// A value with an allocation of its own, so that moves during growth and
// backward shifts are checked for losing or duplicating values.
using Value = std::vector<uint32_t>;

void expect_equal(const FlatIdMap<Value>& map, const std::map<uint32_t, Value>& model) {
    ASSERT_EQ(map.size(), model.size());
    std::map<uint32_t, Value> seen;
    map.for_each([&](uint32_t key, const Value& v) { EXPECT_TRUE(seen.emplace(key, v).second) << key; });
    ASSERT_EQ(seen, model);
    for (const auto& [key, v] : model) {
        const Value* found = map.find(key);
        ASSERT_NE(found, nullptr) << key;
        EXPECT_EQ(*found, v);
    }
}

}  // namespace

// Keys drawn from a narrow range collide and form long probe runs that wrap
// around the end of the table; removals in the middle of those runs must keep
// every later key reachable.
TEST(FlatIdMap, MatchesAnOrderedMapOverRandomOperations) {
    for (uint32_t span : {16u, 300u, 1u << 20}) {
        std::mt19937 rng(span);
        FlatIdMap<Value> map;
        std::map<uint32_t, Value> model;
        std::uniform_int_distribution<uint32_t> key_of(0, span);
        for (int step = 0; step < 20000; ++step) {
            const uint32_t key = key_of(rng);
            switch (rng() % 4) {
                case 0:
                case 1: {
                    auto [v, inserted] = map.try_emplace(key);
                    EXPECT_EQ(inserted, !model.count(key));
                    v->push_back(uint32_t(step));
                    model[key].push_back(uint32_t(step));
                    break;
                }
                case 2:
                    EXPECT_EQ(map.erase(key), model.erase(key) == 1);
                    break;
                case 3:
                    EXPECT_EQ(map.contains(key), model.count(key) == 1);
                    break;
            }
            if (step % 2500 == 0) expect_equal(map, model);
        }
        expect_equal(map, model);
        for (auto it = model.begin(); it != model.end();) {
            EXPECT_TRUE(map.erase(it->first));
            it = model.erase(it);
            if (model.size() % 97 == 0) expect_equal(map, model);
        }
        EXPECT_TRUE(map.empty());
        EXPECT_EQ(map.find(key_of(rng)), nullptr);
    }
}

TEST(FlatIdMap, CopiesMovesClearAndReserve) {
    FlatIdMap<Value> map;
    EXPECT_FALSE(map.erase(7));
    EXPECT_EQ(map.find(7), nullptr);
    map.reserve(1000);
    for (uint32_t k = 0; k < 1000; ++k) map[k * 65536u].push_back(k);
    FlatIdMap<Value> copy = map;
    map[0].push_back(99);
    EXPECT_EQ(copy.find(0)->size(), 1u);
    FlatIdMap<Value> moved = std::move(copy);
    EXPECT_EQ(moved.size(), 1000u);
    EXPECT_TRUE(copy.empty());
    EXPECT_EQ(copy.find(0), nullptr);
    copy[5].push_back(5);  // a moved-from map is usable again
    EXPECT_EQ(copy.size(), 1u);
    moved.clear();
    EXPECT_TRUE(moved.empty());
    EXPECT_EQ(moved.find(65536u), nullptr);
    moved[1].push_back(1);
    EXPECT_EQ(*moved.find(1), Value{1});
    // The largest id is an ordinary key.
    moved[UINT32_MAX].push_back(2);
    EXPECT_EQ(*moved.find(UINT32_MAX), Value{2});
}

#include "index/core/structures/id_map.hpp"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <utility>
#include <vector>

using tarnwick::IdMap;

namespace {

void expect_same(const IdMap& m, const std::map<uint32_t, uint32_t>& model) {
    ASSERT_EQ(m.size(), model.size());
    std::map<uint32_t, uint32_t> seen;
    m.for_each([&](uint32_t id, uint32_t v) { EXPECT_TRUE(seen.emplace(id, v).second) << id; });
    ASSERT_EQ(seen, model);
    for (const auto& [id, v] : model) ASSERT_EQ(m.get(id), v) << id;
    // The batch lookup agrees, skipping ids without an entry.
    std::vector<uint32_t> probe;
    std::vector<std::pair<uint32_t, uint32_t>> want, got;
    for (uint32_t id = 0; id < 6000000; id += id < 80000 ? 7 : 4999) {
        probe.push_back(id);
        if (auto it = model.find(id); it != model.end()) want.emplace_back(id, it->second);
    }
    m.get_many(probe.data(), probe.size(), [&](uint32_t id, uint32_t v) { got.emplace_back(id, v); });
    ASSERT_EQ(got, want);
}

}  // namespace

TEST(IdMap, MatchesOrderedMapAcrossPagesAndValueExtremes) {
    std::mt19937_64 rng(17);
    IdMap m;
    std::map<uint32_t, uint32_t> model;
    // Ids in a few clusters, on both sides of page edges; values include 0
    // and the largest value, which cannot be stored in a slot.
    const uint32_t clusters[] = {0, 1020, 70000, 5000000};
    for (int step = 0; step < 20000; ++step) {
        const uint32_t id = clusters[rng() % 4] + uint32_t(rng() % 40);
        const uint32_t pick = uint32_t(rng() % 6);
        if (pick < 2) {
            EXPECT_EQ(m.erase(id), model.erase(id) == 1);
        } else {
            const uint32_t v = pick == 2 ? 0u : pick == 3 ? UINT32_MAX : uint32_t(rng());
            m.set(id, v);
            model[id] = v;
        }
        if (step % 997 == 0) expect_same(m, model);
    }
    expect_same(m, model);
    EXPECT_FALSE(m.get(4999999).has_value());
    EXPECT_FALSE(m.get(UINT32_MAX).has_value());

    IdMap copy = m;
    m.set(3, 3);
    m.erase(clusters[3] + 1);
    expect_same(copy, model);
    copy.clear();
    EXPECT_TRUE(copy.empty());
    EXPECT_FALSE(copy.get(0).has_value());
}

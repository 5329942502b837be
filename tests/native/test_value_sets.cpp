// Whole-value sets beside the number and string indexes: equality through
// them, and through the key slices and byte positions once they are dropped,
// must agree with the values, whatever writes, removals, reductions and
// merges came before.
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "index/core/structures/numerical_bitmap.hpp"
#include "index/core/structures/positional_bitmap.hpp"

using namespace tarnwick;

namespace {

Bitmap ids_where(const std::map<uint32_t, int64_t>& values, int64_t v, const Bitmap* within = nullptr) {
    Bitmap out;
    for (const auto& [id, value] : values)
        if (value == v && (!within || within->contains(id))) out.add(id);
    return out;
}

// Distinct values below, at and beyond the sets' limit; a quarter of the ids
// change value and a tenth leave.
class NumbersAroundTheLimit : public ::testing::TestWithParam<int64_t> {};

TEST_P(NumbersAroundTheLimit, EqualityAgreesWithTheValues) {
    const int64_t distinct = GetParam();
    std::mt19937 rng{static_cast<unsigned>(distinct)};
    std::uniform_int_distribution<int64_t> value(0, distinct - 1);
    NumericalBitmap nb;
    std::map<uint32_t, int64_t> values;
    for (uint32_t id = 0; id < 20000; ++id) {
        values[id] = value(rng);
        if (id % 2) nb.insert(order_key_int(values[id]), id);
        else nb.insert_buffered(order_key_int(values[id]), id);
    }
    nb.flush();
    for (uint32_t id = 0; id < 20000; id += 4) {
        nb.remove(order_key_int(values[id]), id);
        values[id] = value(rng);
        nb.insert(order_key_int(values[id]), id);
    }
    for (uint32_t id = 1; id < 20000; id += 10) {
        nb.remove(order_key_int(values[id]), id);
        values.erase(id);
    }
    Bitmap within;
    for (uint32_t id = 0; id < 30000; id += 3) within.add(id);  // also ids without a number
    for (int64_t v : {int64_t(0), distinct / 2, distinct - 1, distinct + 5}) {
        const Bitmap all = ids_where(values, v);
        EXPECT_TRUE(nb.eq(order_key_int(v)) == all) << v;
        EXPECT_TRUE(nb.eq_within(order_key_int(v), within) == ids_where(values, v, &within)) << v;
        EXPECT_GE(nb.eq_estimate(order_key_int(v)), all.cardinality()) << v;
    }
    // A reduction keeps only some ids; a merge adds another index's.
    Bitmap keep;
    for (uint32_t id = 0; id < 20000; id += 2) keep.add(id);
    nb.retain(keep);
    std::erase_if(values, [&](const auto& e) { return !keep.contains(e.first); });
    NumericalBitmap other;
    for (uint32_t id = 50000; id < 50100; ++id) {
        values[id] = int64_t(id % 7);
        other.insert(order_key_int(values[id]), id);
    }
    nb.merge_from(other);
    for (int64_t v : {int64_t(0), int64_t(3), distinct - 1}) {
        const Bitmap all = ids_where(values, v);
        EXPECT_TRUE(nb.eq(order_key_int(v)) == all) << v;
        EXPECT_GE(nb.eq_estimate(order_key_int(v)), all.cardinality()) << v;
    }
}

INSTANTIATE_TEST_SUITE_P(Distinct, NumbersAroundTheLimit, ::testing::Values(1, 100, 1024, 1025, 5000));

TEST(ValueSets, StringsAroundTheLimitAgreeWithTheBytes) {
    for (int distinct : {3, 2000}) {
        PositionalBitmap pb;
        std::vector<std::string> values;
        for (uint32_t id = 0; id < 6000; ++id) {
            values.push_back("s" + std::to_string(id % distinct));
            pb.expand_map(values.back().size());
            pb.insert_buffered(values.back(), id);
        }
        pb.flush();
        for (uint32_t id = 0; id < 6000; id += 5) {
            pb.remove(values[id], id);
            values[id] = "t";
            pb.insert(values[id], id);
        }
        Bitmap within;
        for (uint32_t id = 0; id < 6000; id += 2) within.add(id);
        for (const std::string probe : {"s1", "s2", "t", "u", "s"}) {
            Bitmap all, among;
            for (uint32_t id = 0; id < 6000; ++id) {
                if (values[id] != probe) continue;
                all.add(id);
                if (within.contains(id)) among.add(id);
            }
            EXPECT_TRUE(pb.match_eq(probe) == all) << distinct << " " << probe;
            EXPECT_TRUE(pb.match_eq(probe, &within) == among) << distinct << " " << probe;
            EXPECT_GE(pb.eq_estimate(probe), all.cardinality()) << distinct << " " << probe;
        }
    }
}

}  // namespace

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <utility>
#include <vector>

#include "index/core/structures/alloc_fault.hpp"
#include "index/core/structures/m2m.hpp"

using tarnwick::Bitmap;
using tarnwick::M2MU32;
using tarnwick::fail_allocation_after;
using Ids = std::vector<uint32_t>;
using Pairs = std::set<std::pair<uint32_t, uint32_t>>;

namespace {

Pairs pairs_of(const M2MU32& r) {
    Pairs out;
    std::vector<std::pair<uint32_t, uint32_t>> seq;
    r.for_each_pair([&](uint32_t l, uint32_t rr) { seq.emplace_back(l, rr); });
    EXPECT_TRUE(std::is_sorted(seq.begin(), seq.end()));
    out.insert(seq.begin(), seq.end());
    EXPECT_EQ(out.size(), r.pair_count());
    return out;
}

// Checks every query of r against the model for the ids in probe.
void expect_matches(const M2MU32& r, const Pairs& model, uint32_t probe_limit) {
    ASSERT_EQ(pairs_of(r), model);
    for (uint32_t x = 0; x < probe_limit; ++x) {
        Ids lefts, rights;
        for (auto [l, rr] : model) {
            if (rr == x) lefts.push_back(l);
            if (l == x) rights.push_back(rr);
        }
        std::sort(lefts.begin(), lefts.end());
        ASSERT_EQ(r.lefts_of(x).to_vector(), lefts) << x;
        ASSERT_EQ(r.rights_of(x).to_vector(), rights) << x;
        ASSERT_EQ(r.has_right(x), !lefts.empty());
        ASSERT_EQ(r.has_left(x), !rights.empty());
        ASSERT_EQ(r.left_count(x), lefts.size());
    }
    // The holders of a set of ids, as nested queries ask for them.
    Bitmap probe;
    Ids lefts;
    for (uint32_t x = 0; x < probe_limit; x += 2) probe.add(x);
    for (auto [l, rr] : model)
        if (probe.contains(rr)) lefts.push_back(l);
    std::sort(lefts.begin(), lefts.end());
    lefts.erase(std::unique(lefts.begin(), lefts.end()), lefts.end());
    ASSERT_EQ(r.lefts_of_many(probe).to_vector(), lefts);
}

}  // namespace

TEST(M2MU32, HoldersAreExactEvenWhenNibblesMix) {
    M2MU32 r;
    r.add(0x12, 7);
    EXPECT_EQ(r.lefts_of(7).to_vector(), Ids{0x12});
    EXPECT_EQ(r.rights_of(0x12).to_vector(), Ids{7});
    r.add(0x21, 7);
    EXPECT_TRUE(r.rights_of(0x11).empty());
    EXPECT_TRUE(r.lefts_of(0x77).empty());
    EXPECT_FALSE(r.has_right(0x17));

    EXPECT_TRUE(r.remove(0x12, 7));  // the other pair of 7 is untouched
    EXPECT_FALSE(r.remove(0x12, 7));
    EXPECT_EQ(r.lefts_of(7).to_vector(), Ids{0x21});
    EXPECT_FALSE(r.has_left(0x12));
    EXPECT_TRUE(r.remove(0x21, 7));
    EXPECT_FALSE(r.has_right(7));
    EXPECT_TRUE(r.empty());
}

TEST(M2MU32, BulkQueriesRetainMergeAndClone) {
    M2MU32 r;
    for (auto [l, rr] : Pairs{{1, 10}, {1, 11}, {2, 11}, {3, 12}, {0xFFFFFFFFu, 0}}) r.add(l, rr);
    EXPECT_FALSE(r.add(1, 10));
    EXPECT_EQ(r.pair_count(), 5u);
    EXPECT_EQ(r.lefts_of_many(Bitmap{11, 12, 99}).to_vector(), (Ids{1, 2, 3}));
    Bitmap many;  // larger than the relation: the other walk
    for (uint32_t i = 0; i < 1000; ++i) many.add(i);
    EXPECT_EQ(r.rights_of_many(many).to_vector(), (Ids{10, 11, 12}));
    EXPECT_EQ(r.lefts().to_vector(), (Ids{1, 2, 3, 0xFFFFFFFFu}));
    EXPECT_EQ(r.rights().to_vector(), (Ids{0, 10, 11, 12}));

    M2MU32 copy = r.clone();
    copy.retain_lefts(Bitmap{2, 3, 4});
    expect_matches(copy, {{2, 11}, {3, 12}}, 13);
    EXPECT_EQ(r.pair_count(), 5u);

    M2MU32 other;
    other.add(2, 11);
    other.add(5, 10);
    copy.merge_from(other);
    copy.merge_from(copy);
    expect_matches(copy, {{2, 11}, {3, 12}, {5, 10}}, 13);
    copy.clear();
    expect_matches(copy, {}, 13);
}

TEST(M2MU32, ManySingleHoldersAcrossDistantIds) {
    // Rights far apart and more than fit one buffer of bulk additions; a few
    // gain and lose a second holder.
    M2MU32 r;
    Pairs model;
    for (uint32_t i = 0; i < 3000; ++i) {
        const uint32_t right = i * 977 + 5, left = 3000000 - i;
        r.add(left, right);
        model.insert({left, right});
        if (i % 100 == 0) {
            r.add(left + 1, right);
            model.insert({left + 1, right});
        }
    }
    Bitmap rights;
    for (auto [l, rr] : model) rights.add(rr);
    EXPECT_EQ(r.lefts_of_many(rights).cardinality(), r.lefts().cardinality());
    EXPECT_EQ(r.rights().to_vector(), rights.to_vector());
    for (uint32_t i = 0; i < 3000; i += 100) {
        const uint32_t right = i * 977 + 5;
        EXPECT_EQ(r.lefts_of(right).to_vector(), (Ids{3000000 - i, 3000001 - i}));
        EXPECT_TRUE(r.remove(3000000 - i, right));  // back to a single holder
        model.erase({3000000 - i, right});
        EXPECT_EQ(r.lefts_of(right).to_vector(), (Ids{3000001 - i}));
    }
    M2MU32 copy = r.clone();
    EXPECT_EQ(pairs_of(copy), model);
    EXPECT_EQ(copy.lefts_of_many(rights).to_vector(), r.lefts().to_vector());
}

TEST(M2MU32, MatchesAPairSetOverRandomOperations) {
    std::mt19937 rng(5);
    M2MU32 r;
    Pairs model;
    for (int step = 0; step < 4000; ++step) {
        uint32_t l = rng() % 24, rr = rng() % 24;
        switch (rng() % 10) {
            case 0: {
                Bitmap keep;
                for (uint32_t x = 0; x < 24; ++x)
                    if (rng() % 8) keep.add(x);
                r.retain_lefts(keep);
                std::erase_if(model, [&](auto p) { return !keep.contains(p.first); });
                break;
            }
            case 1: case 2: case 3: case 4:
                EXPECT_EQ(r.remove(l, rr), model.erase({l, rr}) == 1);
                break;
            default:
                EXPECT_EQ(r.add(l, rr), model.insert({l, rr}).second);
        }
        if (step % 100 == 0) expect_matches(r, model, 25);
    }
    expect_matches(r, model, 25);
}

TEST(M2MU32, LeftsGoFromOneRightToSeveralAndBack) {
    // Holders far apart, each with one nested object; some gain a second and
    // third and lose them again, in either order.
    M2MU32 r;
    Pairs model;
    auto add = [&](uint32_t l, uint32_t rr) {
        EXPECT_TRUE(r.add(l, rr));
        model.insert({l, rr});
    };
    auto remove = [&](uint32_t l, uint32_t rr) {
        EXPECT_TRUE(r.remove(l, rr));
        model.erase({l, rr});
    };
    for (uint32_t i = 0; i < 2000; ++i) add(i * 1543 + 3, 4000000 - i);
    for (uint32_t i = 0; i < 2000; i += 50) {
        const uint32_t left = i * 1543 + 3;
        add(left, 7);
        add(left, 8);
        EXPECT_EQ(r.rights_of(left).to_vector(), (Ids{7, 8, 4000000 - i}));
        remove(left, i % 100 ? 7 : 4000000 - i);
        remove(left, 8);
    }
    EXPECT_EQ(pairs_of(r), model);
    Bitmap lefts;
    for (auto [l, rr] : model) lefts.add(l);
    EXPECT_EQ(r.lefts().to_vector(), lefts.to_vector());
    Bitmap rights;
    for (auto [l, rr] : model) rights.add(rr);
    EXPECT_EQ(r.rights_of_many(lefts).to_vector(), rights.to_vector());
    for (uint32_t i = 0; i < 2000; i += 50) {
        const uint32_t left = i * 1543 + 3;
        EXPECT_EQ(r.rights_of(left).cardinality(), 1u);
        EXPECT_TRUE(r.has_left(left));
        EXPECT_EQ(r.contains(left, 7), i % 100 == 0);
    }
    r.retain_lefts(Bitmap{3, 1546});
    expect_matches(r, {{3, 7}, {1546, 3999999}}, 10);
}

TEST(M2MU32, FailedAdditionLeavesBothSidesAsTheyWere) {
    // The new pair's ids lie on pages neither side has yet; the left already
    // holds no, one or two rights.
    for (uint32_t before = 0; before < 3; ++before) {
        M2MU32 r;
        Pairs model;
        for (uint32_t k = 0; k < before; ++k) {
            r.add(5, 10 + k);
            model.insert({5, 10 + k});
        }
        bool added = false;
        for (int64_t n = 1; n < 10 && !added; ++n) {
            fail_allocation_after(n);
            try {
                r.add(5, 9000000);
                added = true;
            } catch (const std::bad_alloc&) {
            }
            fail_allocation_after(0);
            if (!added) expect_matches(r, model, 12);
        }
        ASSERT_TRUE(added);
        model.insert({5, 9000000});
        EXPECT_EQ(pairs_of(r), model);
        EXPECT_EQ(r.lefts_of(9000000).to_vector(), Ids{5});
        bool second_holder = false;
        for (int64_t n = 1; n < 10 && !second_holder; ++n) {
            fail_allocation_after(n);
            try {
                r.add(9100000, 9000000);
                second_holder = true;
            } catch (const std::bad_alloc&) {
            }
            fail_allocation_after(0);
        }
        ASSERT_TRUE(second_holder);
        model.insert({9100000, 9000000});
        EXPECT_EQ(pairs_of(r), model);
    }
}

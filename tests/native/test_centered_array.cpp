#include <gtest/gtest.h>

#include <random>
#include <set>
#include <stdexcept>
#include <vector>

#include "index/core/structures/centered_array.hpp"

using tarnwick::CenteredArray;

namespace {

std::vector<uint32_t> run_of(const CenteredArray& a) { return {a.begin(), a.end()}; }

CenteredArray of(std::initializer_list<uint32_t> ids) {
    CenteredArray a;
    for (uint32_t id : ids) a.insert(id);
    return a;
}

}  // namespace

TEST(CenteredArray, InsertionsShiftTheShorterSideAndRecentre) {
    CenteredArray a;
    a.insert(5);
    EXPECT_EQ(a.start(), 2u);
    a.insert(3);  // right side shifts: [3, 5] stays at slot 2
    EXPECT_EQ(a.start(), 2u);
    a.insert(9);  // right end reached: re-centred to slot 1 first
    EXPECT_EQ(run_of(a), (std::vector<uint32_t>{3, 5, 9}));
    EXPECT_EQ(a.start(), 1u);
    a.insert(4);  // blocked on the right again: run moves to slot 0
    EXPECT_EQ(run_of(a), (std::vector<uint32_t>{3, 4, 5, 9}));
    EXPECT_EQ(a.start(), 0u);
    EXPECT_THROW(a.insert(7), std::logic_error);
    EXPECT_EQ(run_of(a), (std::vector<uint32_t>{3, 4, 5, 9}));

    CenteredArray b = of({5, 9});  // [_, _, 5, 9]
    b.insert(1);                   // centred to slot 1, then the head shifts left
    EXPECT_EQ(run_of(b), (std::vector<uint32_t>{1, 5, 9}));
    EXPECT_EQ(b.start(), 0u);
}

TEST(CenteredArray, DuplicatesAndRemovals) {
    CenteredArray a = of({3, 5, 9});
    a.insert(5);
    EXPECT_EQ(run_of(a), (std::vector<uint32_t>{3, 5, 9}));
    EXPECT_EQ(a.len(), 3u);

    a.insert(4);
    EXPECT_TRUE(a.remove(3));  // head removal moves the start
    EXPECT_EQ(a.start(), 1u);
    EXPECT_FALSE(a.remove(42));
    EXPECT_TRUE(a.remove(9));
    EXPECT_EQ(run_of(a), (std::vector<uint32_t>{4, 5}));

    CenteredArray one = of({0});
    EXPECT_TRUE(one.remove(0));
    EXPECT_EQ(one.len(), 0u);
    EXPECT_FALSE(one.contains(0));
}

TEST(CenteredArray, UnionIsSortedAndRecentred) {
    CenteredArray a = of({1, 2});
    a.union_with(of({2, 3}));
    EXPECT_EQ(run_of(a), (std::vector<uint32_t>{1, 2, 3}));
    EXPECT_EQ(a.start(), 0u);

    CenteredArray b = of({1});
    b.union_with(of({2}));
    EXPECT_EQ(run_of(b), (std::vector<uint32_t>{1, 2}));
    EXPECT_EQ(b.start(), 1u);

    CenteredArray c = of({1, 2, 3});
    EXPECT_THROW(c.union_with(of({4, 5})), std::logic_error);
    EXPECT_EQ(run_of(c), (std::vector<uint32_t>{1, 2, 3}));
    c.union_with(c);
    EXPECT_EQ(run_of(c), (std::vector<uint32_t>{1, 2, 3}));
}

TEST(CenteredArray, MatchesASetOverRandomOperations) {
    std::mt19937 rng(7);
    const uint32_t pool[] = {0, 1, 2, 3, 5, 8, 13, 0xFFFFFFFFu};
    auto pick = [&] { return pool[rng() % 8]; };
    for (int round = 0; round < 300; ++round) {
        CenteredArray a;
        std::set<uint32_t> model;
        for (int step = 0; step < 40; ++step) {
            uint32_t id = pick();
            switch (rng() % 3) {
                case 0:
                    if (model.size() < 4) {
                        a.insert(id);
                        model.insert(id);
                    }
                    break;
                case 1:
                    EXPECT_EQ(a.remove(id), model.erase(id) == 1);
                    break;
                default: {
                    CenteredArray other;
                    std::set<uint32_t> both = model;
                    for (int n = rng() % 3; n > 0; --n) {
                        uint32_t x = pick();
                        other.insert(x);
                        both.insert(x);
                    }
                    if (both.size() <= 4) {
                        a.union_with(other);
                        model = both;
                    }
                }
            }
            ASSERT_LE(a.start() + a.len(), 4u);
            ASSERT_EQ(run_of(a), std::vector<uint32_t>(model.begin(), model.end()));
            for (uint32_t probe : pool) ASSERT_EQ(a.contains(probe), model.count(probe) == 1);
        }
    }
}

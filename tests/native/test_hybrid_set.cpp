#include <gtest/gtest.h>

#include <random>
#include <set>
#include <vector>

#include "index/core/structures/hybrid_set.hpp"

using tarnwick::Bitmap;
using tarnwick::HybridSet;
using Tag = tarnwick::HybridSetTag;
using Ids = std::vector<uint32_t>;

namespace {

HybridSet small_of(Ids ids) {
    HybridSet s;
    for (uint32_t id : ids) s.merge(HybridSet::with_id(id));  // merge lets Small reach 4
    return s;
}

HybridSet make(Tag tag, const Ids& ids) {
    switch (tag) {
        case Tag::Empty: return HybridSet();
        case Tag::Small: return small_of(ids);
        case Tag::Medium: return HybridSet::medium_of(ids);
        default: {
            Bitmap b;
            b.add_many(ids);
            return HybridSet::large_of(std::move(b));
        }
    }
}

// Everything a set reports about its ids must agree.
void expect_ids(const HybridSet& s, const std::set<uint32_t>& want) {
    Ids expected(want.begin(), want.end()), walked;
    s.for_each([&](uint32_t id) { walked.push_back(id); });
    EXPECT_EQ(walked, expected);
    EXPECT_EQ(s.to_vector(), expected);
    EXPECT_EQ(s.to_bitmap().to_vector(), expected);
    EXPECT_EQ(s.size(), expected.size());
    Bitmap into{1u << 30};
    s.union_into(into);
    EXPECT_EQ(into.cardinality(), expected.size() + 1);
    for (uint32_t id : {0u, 1u, 2u, 3u, 4u, 5u, 9u}) EXPECT_EQ(s.contains(id), want.count(id) == 1) << id;
}

}  // namespace

TEST(HybridSet, AddConvertsSmallAtThreeAndMediumAtFour) {
    HybridSet s;
    EXPECT_EQ(s.representation(), Tag::Empty);
    s.add(2);
    s.add(1);
    s.add(1);
    s.add(3);
    EXPECT_EQ(s.tag(), 1u);
    expect_ids(s, {1, 2, 3});
    HybridSet dup = s;
    dup.add(3);  // a duplicate still converts a three-id Small set
    EXPECT_EQ(dup.tag(), 3u);
    expect_ids(dup, {1, 2, 3});
    s.add(4);
    EXPECT_EQ(s.representation(), Tag::Large);
    expect_ids(s, {1, 2, 3, 4});

    HybridSet m = HybridSet::medium_of(Ids{1, 2, 3});
    m.add(4);
    EXPECT_EQ(m.tag(), 2u);
    m.add(5);
    EXPECT_EQ(m.representation(), Tag::Large);
    expect_ids(m, {1, 2, 3, 4, 5});
}

TEST(HybridSet, RemovalAndRetainKeepTheRepresentation) {
    HybridSet large = make(Tag::Large, {1, 2, 3, 4, 5});
    for (uint32_t id = 1; id <= 5; ++id) large.remove(id);
    EXPECT_EQ(large.representation(), Tag::Large);
    EXPECT_TRUE(large.empty());

    for (Tag tag : {Tag::Small, Tag::Medium, Tag::Large}) {
        HybridSet s = make(tag, {1, 3, 5, 9});
        s.retain(Bitmap{3, 9, 4});
        EXPECT_EQ(s.representation(), tag);
        expect_ids(s, {3, 9});
        s.remove(3);
        s.remove(4);
        expect_ids(s, {9});
        s.retain(Bitmap());
        EXPECT_EQ(s.representation(), tag);
        EXPECT_TRUE(s.empty());
    }

    HybridSet empty;
    empty.remove(1);
    empty.retain(Bitmap{1});
    EXPECT_EQ(empty.representation(), Tag::Empty);
}

TEST(HybridSet, MergeFollowsTheRepresentationTable) {
    const Tag tags[] = {Tag::Empty, Tag::Small, Tag::Medium, Tag::Large};
    const std::pair<Ids, Ids> contents[] = {{{1, 2}, {2, 3}}, {{1, 2, 3}, {4, 5}}, {{1}, {9}}, {{4, 5}, {1, 4}}};
    for (Tag a : tags)
        for (Tag b : tags)
            for (const auto& [xs, ys] : contents) {
                HybridSet self = make(a, xs), other = make(b, ys);
                std::set<uint32_t> want;
                if (a != Tag::Empty) want.insert(xs.begin(), xs.end());
                if (b != Tag::Empty) want.insert(ys.begin(), ys.end());
                bool arrays = (a == Tag::Small || a == Tag::Medium) && (b == Tag::Small || b == Tag::Medium);
                Tag expected = std::max(a, b);
                if (arrays && xs.size() + ys.size() > 4) expected = Tag::Large;

                self.merge(other);
                SCOPED_TRACE(::testing::Message() << int(a) << " <- " << int(b) << " " << xs.size() << "+" << ys.size());
                EXPECT_EQ(self.representation(), expected);
                expect_ids(self, want);
                expect_ids(other, b == Tag::Empty ? std::set<uint32_t>{} : std::set<uint32_t>(ys.begin(), ys.end()));
            }
}

TEST(HybridSet, CopiesAreDeepAndMovesEmptyTheSource) {
    for (Tag tag : {Tag::Small, Tag::Medium, Tag::Large}) {
        HybridSet original = make(tag, {1, 2});
        HybridSet copy = original;
        copy.add(3);
        copy.remove(1);
        expect_ids(original, {1, 2});
        HybridSet moved = std::move(copy);
        EXPECT_EQ(copy.representation(), Tag::Empty);
        expect_ids(moved, {2, 3});
        original = moved;
        moved.add(9);
        expect_ids(original, {2, 3});
    }
}

TEST(HybridSet, MatchesASetAndNeverShrinksItsRepresentation) {
    std::mt19937 rng(11);
    for (int round = 0; round < 200; ++round) {
        HybridSet s = HybridSet::with_id(rng() % 10);
        std::set<uint32_t> model = {s.to_vector().at(0)};
        for (int step = 0; step < 30; ++step) {
            uint32_t before = s.tag();
            uint32_t id = rng() % 10;
            switch (rng() % 4) {
                case 0: s.add(id); model.insert(id); break;
                case 1: s.remove(id); model.erase(id); break;
                case 2: {
                    Bitmap keep;
                    for (uint32_t x = 0; x < 10; ++x)
                        if (rng() % 4) keep.add(x);
                    s.retain(keep);
                    std::erase_if(model, [&](uint32_t x) { return !keep.contains(x); });
                    break;
                }
                default: {
                    Ids ids;
                    for (int n = rng() % 4; n > 0; --n) ids.push_back(rng() % 10);
                    Tag tag = static_cast<Tag>(rng() % 4);
                    if (tag == Tag::Empty) ids.clear();
                    s.merge(make(tag, ids));
                    model.insert(ids.begin(), ids.end());
                }
            }
            ASSERT_GE(s.tag(), before);
            ASSERT_EQ(s.to_vector(), Ids(model.begin(), model.end()));
            ASSERT_EQ(s.size(), model.size());
        }
    }
}

#include "index/core/structures/positional_bitmap.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

using namespace tarnwick;

namespace {

using Ids = std::vector<uint32_t>;

// Where one id sits: the positions of its start and end marks and its bytes.
struct Placement {
    std::vector<size_t> starts, ends;
    std::vector<std::pair<size_t, int>> bytes;
};

bool holds(const HybridSet* set, uint32_t id) { return set && set->contains(id); }

Placement placement_of(const PositionalBitmap& pb, uint32_t id) {
    Placement pl;
    for (size_t p = 0; p < pb.position_count(); ++p) {
        const CharacterMap& pos = pb.positions()[p];
        if (holds(pos.start_mark(), id)) pl.starts.push_back(p);
        if (holds(pos.end_mark(), id)) pl.ends.push_back(p);
        for (int b = 0; b < 256; ++b)
            if (holds(pos.byte(uint8_t(b)), id)) pl.bytes.emplace_back(p, b);
    }
    return pl;
}

void expect_placed(const PositionalBitmap& pb, uint32_t id, const std::string& s, size_t first) {
    const Placement pl = placement_of(pb, id);
    EXPECT_EQ(pl.starts, std::vector<size_t>{first}) << s;
    EXPECT_EQ(pl.ends, std::vector<size_t>{first + s.size() - 1}) << s;
    std::vector<std::pair<size_t, int>> want;
    for (size_t i = 0; i < s.size(); ++i) want.emplace_back(first + i, uint8_t(s[i]));
    EXPECT_EQ(pl.bytes, want) << s;
}

Ids ids_of(const HybridSet* set) { return set ? set->to_vector() : Ids{}; }

void expect_same_structure(const PositionalBitmap& a, const PositionalBitmap& b) {
    ASSERT_EQ(a.position_count(), b.position_count());
    ASSERT_TRUE(a.empty_strings().bitmap() == b.empty_strings().bitmap());
    for (size_t p = 0; p < a.position_count(); ++p)
        for (uint16_t key = 0; key < CharacterMap::key_count; ++key)
            ASSERT_EQ(ids_of(a.positions()[p].find(key)), ids_of(b.positions()[p].find(key)))
                << "position " << p << " key " << key;
    // No set is kept once it holds nothing.
    EXPECT_EQ(a.set_count(), b.set_count());
}

// Pieces of text: ASCII, two- and three-byte UTF-8 sequences, NUL and 0xFF.
const std::vector<std::string> tokens = {"a", "b", "c", "a", "b", "\xC3\xA9", "\xE2\x82\xAC", std::string(1, '\0'), "\xFF"};

std::string random_string(std::mt19937& rng, size_t max_bytes) {
    std::string s;
    const size_t target = rng() % (max_bytes + 1);
    while (s.size() < target) {
        const std::string& t = tokens[rng() % tokens.size()];
        if (s.size() + t.size() > max_bytes) break;
        s += t;
    }
    return s;
}

std::string ascii_of_length(std::mt19937& rng, size_t n) {
    std::string s;
    for (size_t i = 0; i < n; ++i) s += char('a' + rng() % 3);
    return s;
}

std::set<std::string> probes_for(const std::map<uint32_t, std::string>& model, std::mt19937& rng) {
    std::set<std::string> probes{""};
    for (const auto& [id, s] : model) {
        for (size_t n = 1; n <= s.size(); ++n) {
            probes.insert(s.substr(0, n));
            probes.insert(s.substr(s.size() - n));
        }
        for (int k = 0; k < 4 && !s.empty(); ++k) {
            const size_t at = rng() % s.size();
            probes.insert(s.substr(at, 1 + rng() % (s.size() - at)));
        }
    }
    for (int k = 0; k < 30; ++k) probes.insert(random_string(rng, 6));
    return probes;
}

void check_against_model(const PositionalBitmap& pb, const std::map<uint32_t, std::string>& model,
                         const std::set<std::string>& probes, const std::string& context) {
    for (const std::string& q : probes) {
        Ids eq, prefix, suffix, contains;
        for (const auto& [id, s] : model) {
            if (s == q) eq.push_back(id);
            if (s.starts_with(q)) prefix.push_back(id);
            if (s.ends_with(q)) suffix.push_back(id);
            if (s.find(q) != std::string::npos) contains.push_back(id);
        }
        ASSERT_EQ(pb.match_eq(q).to_vector(), eq) << context << " eq \"" << q << "\"";
        ASSERT_EQ(pb.match_prefix(q).to_vector(), prefix) << context << " prefix \"" << q << "\"";
        ASSERT_EQ(pb.match_suffix(q).to_vector(), suffix) << context << " suffix \"" << q << "\"";
        ASSERT_EQ(pb.match_contains(q).to_vector(), contains) << context << " contains \"" << q << "\"";
    }
}

}  // namespace

TEST(PositionalBitmap, CentredPlacementAtTenPositions) {
    PositionalBitmap pb;
    pb.insert("12345678", 100);
    ASSERT_EQ(pb.position_count(), 10u);
    expect_placed(pb, 100, "12345678", 0);
    pb.insert("a", 1);
    pb.insert("ab", 2);
    pb.insert("abc", 3);
    pb.insert("abcd", 4);
    expect_placed(pb, 1, "a", 4);
    expect_placed(pb, 2, "ab", 3);
    expect_placed(pb, 3, "abc", 3);
    expect_placed(pb, 4, "abcd", 2);
    pb.insert("123456789", 101);  // the longest string that fits ten positions
    EXPECT_EQ(pb.position_count(), 10u);
    expect_placed(pb, 101, "123456789", 0);
}

TEST(PositionalBitmap, GrowthMovesStringsToTheirNewStart) {
    PositionalBitmap pb;
    pb.insert("", 9);
    EXPECT_EQ(pb.position_count(), 0u);  // empty strings never need positions
    EXPECT_EQ(pb.empty_strings().bitmap().to_vector(), Ids{9});

    pb.insert("ab", 1);
    EXPECT_EQ(pb.position_count(), 4u);
    expect_placed(pb, 1, "ab", 0);
    pb.insert("abcd", 2);
    EXPECT_EQ(pb.position_count(), 6u);
    expect_placed(pb, 1, "ab", 1);
    expect_placed(pb, 2, "abcd", 0);
    EXPECT_TRUE(placement_of(pb, 9).bytes.empty());

    const std::string e_acute = "\xC3\xA9";
    pb.insert(e_acute, 3);
    expect_placed(pb, 3, e_acute, 1);  // one position per UTF-8 byte

    // Each string as long as the range was before it, so every one of them
    // forces growth and is moved by the next.
    std::map<uint32_t, std::string> model{{9, ""}, {1, "ab"}, {2, "abcd"}, {3, e_acute}};
    std::mt19937 rng(5);
    for (uint32_t id = 10; id < 16; ++id) {
        const std::string s = ascii_of_length(rng, pb.position_count());
        pb.insert(s, id);
        model[id] = s;
        for (const auto& [mid, ms] : model) ASSERT_EQ(pb.match_eq(ms).contains(mid), true) << ms;
    }
    for (const auto& [id, s] : model) pb.remove(s, id);
    EXPECT_TRUE(pb.empty_strings().bitmap().empty());
    EXPECT_EQ(pb.set_count(), 0u);
    for (const CharacterMap& pos : pb.positions()) EXPECT_TRUE(pos.empty());
}

TEST(PositionalBitmap, MarksAndOffsetsAreExact) {
    PositionalBitmap pb;
    pb.insert("ab", 1);
    pb.insert("b", 2);
    pb.insert("a", 3);
    pb.insert("0123456789abcdefghij", 4);
    EXPECT_EQ(pb.match_prefix("b").to_vector(), Ids{2});
    EXPECT_EQ(pb.match_suffix("a").to_vector(), Ids{3});
    EXPECT_EQ(pb.match_prefix("ab").to_vector(), Ids{1});
    EXPECT_EQ(pb.match_contains("hij").to_vector(), Ids{4});
    EXPECT_EQ(pb.match_contains("j").to_vector(), Ids{4});
    EXPECT_EQ(pb.match_suffix("0123456789abcdefghij").to_vector(), Ids{4});
    EXPECT_TRUE(pb.match_eq("0123456789abcdefghijk").empty());
    EXPECT_TRUE(pb.match_contains(std::string(40, 'a')).empty());
}

TEST(PositionalBitmap, RandomInsertionOrdersMatchModel) {
    for (int order = 0; order < 4; ++order) {
        std::mt19937 rng(1000 + order);
        std::vector<std::string> values;
        for (int i = 0; i < 70; ++i) values.push_back(random_string(rng, 16));
        if (order == 0) std::sort(values.begin(), values.end(), [](auto& a, auto& b) { return a.size() < b.size(); });
        if (order == 1) std::sort(values.begin(), values.end(), [](auto& a, auto& b) { return a.size() > b.size(); });

        PositionalBitmap pb;
        std::map<uint32_t, std::string> model;
        uint32_t next_id = 1;
        for (const std::string& s : values) {
            pb.insert(s, next_id);
            model[next_id++] = s;
            if (order == 3 && rng() % 8 == 0) {
                // As long as the range: forces growth that moves what is stored.
                const std::string grow = ascii_of_length(rng, pb.position_count());
                pb.insert(grow, next_id);
                model[next_id++] = grow;
            }
        }
        const auto probes = probes_for(model, rng);
        const std::string ctx = "order " + std::to_string(order);
        check_against_model(pb, model, probes, ctx);

        for (auto it = model.begin(); it != model.end();) {
            if (rng() % 3 == 0) {
                pb.remove(it->second, it->first);
                it = model.erase(it);
            } else {
                ++it;
            }
        }
        check_against_model(pb, model, probes, ctx + " after removal");
    }
}

TEST(PositionalBitmap, BufferedInsertionMatchesDirect) {
    std::mt19937 rng(77);
    PositionalBitmap buffered, direct;
    for (uint32_t id = 1; id <= 300; ++id) {
        // Mostly short strings so buffers fill, with growth in the middle of the batch.
        const std::string s = id % 50 == 0 ? ascii_of_length(rng, id / 10) : random_string(rng, 5);
        buffered.insert_buffered(s, id);
        direct.insert(s, id);
        if (s.empty()) {
            EXPECT_TRUE(buffered.empty_strings().bitmap().contains(id));
        }
    }
    EXPECT_GT(buffered.buffered_count(), 0u);
    buffered.flush();
    EXPECT_EQ(buffered.buffered_count(), 0u);
    expect_same_structure(buffered, direct);

    buffered.insert_buffered("zz", 999);
    buffered.remove("zz", 999);  // still buffered when removed
    buffered.flush();
    EXPECT_TRUE(buffered.match_eq("zz").empty());
}

TEST(PositionalBitmap, RetainKeepsOnlyGivenIds) {
    std::mt19937 rng(31);
    PositionalBitmap pb;
    std::map<uint32_t, std::string> model, kept;
    Bitmap keep;
    for (uint32_t id = 1; id <= 80; ++id) {
        model[id] = random_string(rng, 14);
        pb.insert(model[id], id);
        if (id % 3 == 0) {
            keep.add(id);
            kept[id] = model[id];
        }
    }
    const size_t positions = pb.position_count();
    pb.retain(keep);
    EXPECT_EQ(pb.position_count(), positions);
    check_against_model(pb, kept, probes_for(model, rng), "retain");
}

TEST(PositionalBitmap, MergeOfDifferentSizesEqualsJointInsertion) {
    std::mt19937 rng(4242);
    PositionalBitmap short_a, long_a, short_b, long_b, joint;
    std::map<uint32_t, std::string> model;
    for (uint32_t id = 1; id <= 120; ++id) {
        const bool is_long = id % 2 == 0;
        const std::string s = is_long ? random_string(rng, 18) : random_string(rng, 4);
        model[id] = s;
        (is_long ? long_a : short_a).insert(s, id);
        (is_long ? long_b : short_b).insert(s, id);
        joint.insert(s, id);
    }
    ASSERT_LT(short_a.position_count(), long_a.position_count());

    short_a.merge_from(long_a);  // the receiver grows first
    expect_same_structure(short_a, joint);
    long_b.merge_from(short_b);  // the other is centred into a wider range
    expect_same_structure(long_b, joint);
    check_against_model(long_b, model, probes_for(model, rng), "merge");
}

TEST(PositionalBitmap, MergeCountsTheOthersPendingIds) {
    std::mt19937 rng(8);
    PositionalBitmap pending, target, joint;
    std::map<uint32_t, std::string> model;
    for (uint32_t id = 1; id <= 40; ++id) {
        const std::string s = random_string(rng, id % 2 ? 3 : 12);
        model[id] = s;
        (id % 3 ? pending.insert_buffered(s, id) : target.insert(s, id));
        joint.insert(s, id);
    }
    ASSERT_GT(pending.buffered_count(), 0u);
    target.merge_from(pending);
    expect_same_structure(target, joint);
    check_against_model(target, model, probes_for(model, rng), "merge of pending");
}

TEST(PositionalBitmap, RemovalAndRetainLeaveNoEmptySets) {
    PositionalBitmap pb;
    pb.insert("ab", 1);
    pb.insert(std::string(1000, 'x'), 2);
    pb.insert("xy", 3);
    pb.remove(std::string(1000, 'x'), 2);
    // "ab" and "xy" share their two positions: 'a', 'x' and a start mark, then
    // 'b', 'y' and an end mark.
    EXPECT_EQ(pb.set_count(), 6u);
    const size_t after_removal = pb.memory_bytes();

    Bitmap keep{1};
    pb.retain(keep);
    EXPECT_EQ(pb.set_count(), 4u);  // 'a', 'b', one start mark, one end mark
    EXPECT_LE(pb.memory_bytes(), after_removal);
    EXPECT_EQ(pb.match_prefix("").to_vector(), Ids{1});
    EXPECT_TRUE(pb.match_contains("x").empty());
}

TEST(PositionalBitmap, EmptyPositionsStayCheap) {
    PositionalBitmap pb;
    pb.insert("ab", 1);
    const size_t narrow = pb.memory_bytes();
    // Growth to a hundred thousand positions, all but two of them empty.
    pb.expand_map(100'000);
    ASSERT_GE(pb.position_count(), 100'000u);
    EXPECT_EQ(pb.set_count(), 4u);  // 'a' and a start mark, 'b' and an end mark
    const size_t per_position = (pb.memory_bytes() - narrow) / (pb.position_count() - 4);
    EXPECT_LE(per_position, 48u);
    EXPECT_EQ(pb.match_eq("ab").to_vector(), Ids{1});
}

TEST(PositionalBitmap, MegabyteString) {
    std::mt19937 rng(99);
    std::string big(1 << 20, '\0');
    for (char& c : big) c = char('a' + rng() % 16);
    const std::string mid = big.substr(big.size() / 2, 64);
    std::map<uint32_t, std::string> model{{2, "abc"}, {3, big.substr(0, 5)}, {4, mid.substr(0, 3)}};

    PositionalBitmap pb;
    for (const auto& [id, s] : model) pb.insert(s, id);
    pb.insert(big, 1);
    pb.insert_buffered(big, 5);  // more than the pending limit: flushes part-way
    pb.flush();
    ASSERT_EQ(pb.buffered_count(), 0u);
    model[1] = model[5] = big;
    // Two ids per byte position should cost well under a hundred bytes each.
    EXPECT_LT(pb.memory_bytes(), size_t(100) << 20);

    const std::set<std::string> probes{"",
                                       "abc",
                                       "z",  // a byte no position holds
                                       mid,
                                       mid.substr(1, 2),
                                       big,
                                       big.substr(1),
                                       big.substr(0, big.size() - 1),
                                       big.substr(0, 5),
                                       big.substr(0, 4096),
                                       big.substr(big.size() - 4096)};
    check_against_model(pb, model, probes, "megabyte");

    pb.remove(big, 1);
    pb.remove(big, 5);
    model.erase(1);
    model.erase(5);
    check_against_model(pb, model, probes, "after removing the long strings");
    size_t short_sets = 0;
    for (const auto& [id, s] : model) short_sets += s.size() + 2;
    EXPECT_LE(pb.set_count(), short_sets);
}

// Thousands of ids, so byte sets turn into bitmaps of very different sizes
// (a byte every value shares next to a rare one): the intersections then run
// in size order, and must still give what a scan of the strings gives.
TEST(PositionalBitmap, LargeSetsOfMixedSizesMatchModel) {
    std::mt19937 rng(77);
    PositionalBitmap pb;
    std::map<uint32_t, std::string> model;
    for (uint32_t id = 1; id <= 9000; ++id) {
        std::string s;
        if (id % 3) {
            s = "city" + std::to_string(10 + rng() % 90);
        } else {
            s = ascii_of_length(rng, 1 + rng() % 8);
        }
        // Ids in two ranges of one 2^16 chunk, dense enough that the rare
        // bytes hold several hundred ids each (sparse sets that take the
        // complement route), with a few ids far beyond.
        const uint32_t at = id % 500 == 0 ? 900000 + id : id % 2 ? id : 30000 + id;
        (id % 5 ? pb.insert(s, at) : pb.insert_buffered(s, at));
        model[at] = s;
    }
    pb.flush();
    std::set<std::string> probes{"city42", "city4", "city", "ity", "42", "2", "c", "a", "ab", "abc", "cab", "x",
                                 "city99", "citz10", "b"};
    for (int k = 0; k < 10; ++k) probes.insert(std::next(model.begin(), rng() % model.size())->second);
    check_against_model(pb, model, probes, "large");

    // Restricted to candidates, each scan finds exactly the matches among
    // them (and names nothing it would not name unrestricted): a few, met
    // set by set, and thousands, met through a flat array of their bits.
    for (const uint32_t one_in : {40u, 4u}) {
        Bitmap within;
        for (const auto& [id, str] : model)
            if (rng() % one_in == 0) within.add(id);
        within.add(950000);  // a candidate without a string, beyond every id
        for (const std::string& q : probes) {
            const std::pair<Bitmap, Bitmap> runs[] = {{pb.match_prefix(q, &within), pb.match_prefix(q)},
                                                      {pb.match_suffix(q, &within), pb.match_suffix(q)},
                                                      {pb.match_contains(q, &within), pb.match_contains(q)}};
            for (const auto& [narrow, full] : runs) {
                ASSERT_TRUE((narrow & within) == (full & within)) << q << " one in " << one_in;
                ASSERT_TRUE((narrow - full).empty()) << q << " one in " << one_in;
            }
        }
    }

    // A set that grew into a bitmap and then shrank below an array-held set
    // of the same test.
    for (uint32_t id = 500000; id < 500010; ++id) {
        pb.insert("zq", id);
        model[id] = "zq";
    }
    for (uint32_t id = 500001; id < 500010; ++id) {
        pb.remove("zq", id);
        model.erase(id);
    }
    for (uint32_t id = 600000; id < 600003; ++id) {
        pb.insert("zr", id);
        model[id] = "zr";
    }
    check_against_model(pb, model, {"zq", "zr", "z", "q", "r"}, "shrunk");
}

// The native record of an object: its engine list, which keeps one entry in
// place and spills into a heap array, and the id the last holder frees.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <vector>

#include "engine_support.hpp"
#include "index/core/structures/id_alloc.hpp"
#include "index/indexable_record.hpp"

namespace tarnwick::testing {
namespace {

std::vector<const IndexAPI*> engines_of(const IndexMetaVec& list) {
    std::vector<const IndexAPI*> out;
    for (const IndexMeta& meta : list) out.push_back(meta.lock().get());
    return out;
}

class EngineListSizes : public ::testing::TestWithParam<size_t> {};

// Under the sanitizers a wrong move between the in-place entry and the heap
// array (an entry built twice, or never) fails here, as does a lost entry.
TEST_P(EngineListSizes, CopiesMovesAndErasesKeepEveryEntry) {
    const size_t n = GetParam();
    std::vector<std::shared_ptr<IndexAPI>> engines;
    std::vector<const IndexAPI*> expected;
    IndexMetaVec list;
    EXPECT_EQ(list.capacity(), 1u);
    for (size_t i = 0; i < n; ++i) {
        engines.push_back(IndexAPI::create());
        list.push_back(engines.back());
        expected.push_back(engines.back().get());
        ASSERT_EQ(engines_of(list), expected);
    }
    if (n <= 1) EXPECT_EQ(list.capacity(), 1u) << "one engine needs no heap array";

    IndexMetaVec copy(list);
    EXPECT_EQ(engines_of(copy), expected);
    IndexMetaVec moved(std::move(copy));
    EXPECT_EQ(engines_of(moved), expected);
    EXPECT_TRUE(copy.empty());
    copy = moved;  // copy assignment over an empty list
    EXPECT_EQ(engines_of(copy), expected);
    moved = std::move(list);  // move assignment over a full one
    EXPECT_EQ(engines_of(moved), expected);

    // Every other engine dies; trimming keeps the rest in order.
    std::vector<const IndexAPI*> alive;
    for (size_t i = 0; i < n; ++i) {
        if (i % 2) engines[i].reset();
        else alive.push_back(expected[i]);
    }
    trim_indexes(moved, nullptr);
    EXPECT_EQ(engines_of(moved), alive);
    // erase_if drops the first live one, and the list still takes new entries.
    if (!alive.empty()) {
        const IndexAPI* first = alive.front();
        erase_if(moved, [first](const IndexMeta& m) { return m.lock().get() == first; });
        alive.erase(alive.begin());
        EXPECT_EQ(engines_of(moved), alive);
    }
    auto extra = IndexAPI::create();
    moved.push_back(extra);
    alive.push_back(extra.get());
    EXPECT_EQ(engines_of(moved), alive);
    // The copy kept its own entries: the dead ones now read as null.
    std::vector<const IndexAPI*> copied;
    for (size_t i = 0; i < n; ++i) copied.push_back(i % 2 ? nullptr : expected[i]);
    EXPECT_EQ(engines_of(copy), copied);
}

INSTANTIATE_TEST_SUITE_P(Entries, EngineListSizes, ::testing::Values(0u, 1u, 2u, 3u, 5u, 9u));

TEST(EngineList, SortOrdersByEngineAddress) {
    std::vector<std::shared_ptr<IndexAPI>> engines;
    IndexMetaVec list;
    for (int i = 0; i < 4; ++i) {
        engines.push_back(IndexAPI::create());
        list.push_back(engines.back());
    }
    sort_index_metas(list, nullptr);
    std::vector<const IndexAPI*> got = engines_of(list);
    EXPECT_TRUE(std::is_sorted(got.begin(), got.end(), std::less<const IndexAPI*>()));
}

// Holders share the one record; the id goes back to the allocator only with
// the last of them.
TEST(Record, LastHolderFreesTheId) {
    std::shared_ptr<IndexableRecord> record = IndexableRecord::make_default();
    const uint32_t id = record->id;
    std::shared_ptr<IndexableRecord> item_share = record;
    const size_t free_before = free_id_count();
    record.reset();
    EXPECT_EQ(free_id_count(), free_before);
    item_share.reset();
    EXPECT_EQ(free_id_count(), free_before + 1);
    EXPECT_EQ(allocate_id(), id) << "the freed id is the next one handed out";
    free_id(id);
}

}  // namespace
}  // namespace tarnwick::testing

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <set>
#include <thread>
#include <vector>

#include "run_bounded.hpp"
#include "index/core/structures/id_alloc.hpp"

using namespace tarnwick;
using tarnwick::testing::run_bounded;

namespace {

// Distinct addresses to stand for classes.
struct Kind {
    char byte;
};

// Places where the ids run on by one from the previous id.
size_t breaks(const std::vector<uint32_t>& ids) {
    size_t n = 0;
    for (size_t i = 1; i < ids.size(); ++i) n += ids[i] != ids[i - 1] + 1;
    return n;
}

// Takes ids from a stream until one comes from its block rather than from
// its released ids, so that the next ones run on from the block.
template <class Draw>
std::vector<DrawnId> empty_released(Draw draw) {
    const std::vector<uint32_t> waiting_list = free_ids();
    const std::set<uint32_t> waiting(waiting_list.begin(), waiting_list.end());
    std::vector<DrawnId> taken;
    do taken.push_back(draw());
    while (waiting.count(taken.back().id));
    return taken;
}

}  // namespace

TEST(IdAlloc, ReleasedIdsComeBackLastFreedFirstWithinTheirStream) {
    static Kind kind;
    const DrawnId a = allocate_object_id(&kind);
    const DrawnId b = allocate_object_id(&kind);
    const DrawnId c = allocate_object_id(&kind);
    ASSERT_EQ(a.stream, b.stream);
    ASSERT_NE(a.id, b.id);

    free_id(b.id, b.stream);
    EXPECT_EQ(allocate_object_id(&kind).id, b.id);

    free_id(a.id, a.stream);
    free_id(c.id, c.stream);
    free_id(b.id, b.stream);
    // Another stream does not take them.
    const uint32_t element = allocate_id(ELEMENT_IDS);
    EXPECT_TRUE(element != a.id && element != b.id && element != c.id);
    EXPECT_EQ(allocate_object_id(&kind).id, b.id);
    EXPECT_EQ(allocate_object_id(&kind).id, c.id);
    EXPECT_EQ(allocate_object_id(&kind).id, a.id);

    for (const DrawnId& d : {a, b, c}) free_id(d.id, d.stream);
    free_id(element, ELEMENT_IDS);
}

// Objects made alternately (a holder and the object it holds) and the items
// of their containers each get ids that run on from their own previous ones,
// apart from a few block boundaries, instead of every other id.
TEST(IdAlloc, KindsMadeAlternatelyGetRunsOfTheirOwn) {
    static Kind holder, held;
    constexpr size_t N = 20000;
    std::vector<uint32_t> holders, helds, items(2 * N);
    std::vector<DrawnId> all;
    for (auto draw : {std::function<DrawnId()>([] { return allocate_object_id(&holder); }),
                      std::function<DrawnId()>([] { return allocate_object_id(&held); }),
                      std::function<DrawnId()>([] { return DrawnId{allocate_id(ELEMENT_IDS), ELEMENT_IDS}; })}) {
        for (const DrawnId& d : empty_released(draw)) all.push_back(d);
    }
    for (size_t i = 0; i < N; ++i) {
        all.push_back(allocate_object_id(&holder));
        holders.push_back(all.back().id);
        all.push_back(allocate_object_id(&held));
        helds.push_back(all.back().id);
        allocate_ids(ELEMENT_IDS, &items[2 * i], 2);
    }
    for (const auto* ids : {&holders, &helds, &items}) {
        EXPECT_TRUE(std::is_sorted(ids->begin(), ids->end()));
        // Blocks of 64, 128, ... 65,536 ids; another stream's blocks may sit
        // between two of them.
        EXPECT_LE(breaks(*ids), 12u);
    }
    std::set<uint32_t> seen(items.begin(), items.end());
    for (const DrawnId& d : all) EXPECT_TRUE(seen.insert(d.id).second) << "id " << d.id << " issued twice";
    for (const DrawnId& d : all) free_id(d.id, d.stream);
    for (uint32_t id : items) free_id(id, ELEMENT_IDS);
}

// More kinds than streams: kinds share streams and take them over, and no id
// is issued twice, including ids freed into a stream another kind took over.
TEST(IdAlloc, MoreKindsThanStreamsNeverShareAnId) {
    static Kind kinds[3 * ID_STREAMS];
    std::vector<DrawnId> held;
    for (int round = 0; round < 3; ++round) {
        for (const Kind& k : kinds) held.push_back(allocate_object_id(&k));
        // Free every other one, to be reused by whichever kind holds the
        // stream now.
        for (size_t i = held.size() - std::size(kinds); i < held.size(); i += 2) {
            free_id(held[i].id, held[i].stream);
            held[i].id = 0;
        }
    }
    std::set<uint32_t> seen;
    for (const DrawnId& d : held) {
        if (d.id == 0) continue;
        EXPECT_LT(d.stream, ID_STREAMS);
        EXPECT_TRUE(seen.insert(d.id).second) << "id " << d.id << " issued twice";
    }
    for (uint32_t id : free_ids()) EXPECT_EQ(seen.count(id), 0u) << "a held id is waiting for reuse";
    for (const DrawnId& d : held) {
        if (d.id != 0) free_id(d.id, d.stream);
    }
}

// A class whose objects went in bulk leaves its ids to the next class rather
// than have every per-id table grow.
TEST(IdAlloc, ReleasedIdsOfAClassThatWentAreReusedByOthers) {
    static Kind gone, next;
    std::vector<DrawnId> gone_ids(100000);
    for (DrawnId& d : gone_ids) d = allocate_object_id(&gone);
    std::set<uint32_t> released;
    for (const DrawnId& d : gone_ids) {
        free_id(d.id, d.stream);
        released.insert(d.id);
    }
    std::vector<DrawnId> next_ids(200000);
    size_t reused = 0;
    for (DrawnId& d : next_ids) {
        d = allocate_object_id(&next);
        reused += released.count(d.id);
    }
    EXPECT_GE(reused, 90000u);
    std::set<uint32_t> distinct;
    for (const DrawnId& d : next_ids) distinct.insert(d.id);
    EXPECT_EQ(distinct.size(), next_ids.size());
    for (const DrawnId& d : next_ids) free_id(d.id, d.stream);
}

TEST(IdAlloc, ConcurrentCallersNeverShareAnId) {
    constexpr int THREADS = 4;
    constexpr int ROUNDS = 4000;
    static Kind kinds[2];
    std::vector<std::vector<DrawnId>> kept(THREADS);
    std::vector<std::function<void()>> jobs;
    for (int t = 0; t < THREADS; ++t) {
        jobs.emplace_back([&kept, t] {
            std::vector<DrawnId>& mine = kept[t];
            for (int i = 0; i < ROUNDS; ++i) {
                // Two threads per kind, and items on the side.
                if (i % 4 == 3) {
                    uint32_t pair[2];
                    allocate_ids(ELEMENT_IDS, pair, 2);
                    mine.push_back({pair[0], ELEMENT_IDS});
                    mine.push_back({pair[1], ELEMENT_IDS});
                } else {
                    mine.push_back(allocate_object_id(&kinds[t % 2]));
                }
                // Return every third id at once so that reuse races with fresh
                // allocation in the other threads.
                if (i % 3 == 2) {
                    free_id(mine.back().id, mine.back().stream);
                    mine.pop_back();
                }
            }
        });
    }
    run_bounded(std::move(jobs));

    std::set<uint32_t> seen;
    size_t total = 0;
    for (const auto& mine : kept) {
        for (const DrawnId& d : mine) {
            EXPECT_NE(d.id, 0u);
            seen.insert(d.id);
            ++total;
        }
    }
    EXPECT_EQ(seen.size(), total) << "an id was held by two callers at once";
    for (const auto& mine : kept) {
        for (const DrawnId& d : mine) free_id(d.id, d.stream);
    }
}

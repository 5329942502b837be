#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "run_bounded.hpp"
#include "index/core/structures/string_interner.hpp"

using namespace tarnwick;
using tarnwick::testing::run_bounded;

namespace {

// Every text collides with every other text of its length.
uint64_t constant_hash(std::string_view) { return 42; }

// (Built by appending: gcc 12 misreports literal + std::string as overlapping.)
std::string numbered(const char* prefix, long i) {
    std::string s(prefix);
    s += std::to_string(i);
    return s;
}

std::string random_bytes(std::mt19937& rng, size_t n) {
    std::string s(n, '\0');
    for (char& c : s) c = static_cast<char>(rng() & 0xFF);
    return s;
}

}  // namespace

TEST(StrInterner, IdsAreDenseInFirstSeenOrderAndStable) {
    StrInterner interner;
    EXPECT_EQ(interner.intern("a"), 0u);
    EXPECT_EQ(interner.intern("b"), 1u);

    const ImmutableInterner* before = interner.snapshot().get();
    EXPECT_EQ(interner.intern("a"), 0u);
    EXPECT_EQ(interner.intern("b"), 1u);
    EXPECT_EQ(interner.snapshot().get(), before) << "a known text must not republish";

    EXPECT_EQ(interner.intern("c"), 2u);
    InternerSnapshot snap = interner.snapshot();
    EXPECT_EQ(snap->size(), 3u);
    EXPECT_EQ(snap->get("a"), 0u);
    EXPECT_EQ(snap->get("c"), 2u);
    EXPECT_EQ(snap->get("d"), std::nullopt);
    EXPECT_EQ(snap->text(1), "b");
}

TEST(StrInterner, EmptySnapshotFindsNothing) {
    StrInterner interner;
    InternerSnapshot snap = interner.snapshot();
    EXPECT_EQ(snap->size(), 0u);
    EXPECT_EQ(snap->get(""), std::nullopt);
    EXPECT_EQ(snap->get("x"), std::nullopt);
}

TEST(StrInterner, ResolveRoundTripsAnyText) {
    StrInterner interner;
    std::mt19937 rng(7);
    std::string big = random_bytes(rng, 6000);
    std::string big_twin = big;
    big_twin.back() ^= 1;  // same length, differs in the last byte only
    std::vector<std::string> texts = {"",   "x", std::string("\0", 1), std::string("a\0b", 3), "name", "nam",
                                      big, big_twin, big.substr(0, 16), big.substr(0, 17), "\xF0\x9F\x98\x80"};
    std::vector<uint32_t> ids;
    for (const auto& t : texts) ids.push_back(interner.intern(t));

    std::set<uint32_t> distinct(ids.begin(), ids.end());
    EXPECT_EQ(distinct.size(), texts.size());
    for (size_t i = 0; i < texts.size(); ++i) {
        EXPECT_EQ(ids[i], i);
        EXPECT_EQ(interner.resolve(ids[i]), texts[i]) << "text " << i;
        EXPECT_EQ(interner.intern(texts[i]), ids[i]);
        EXPECT_EQ(interner.snapshot()->get(texts[i]), ids[i]);
    }
}

TEST(StrInterner, UnknownIdIsRejectedNotRead) {
    StrInterner interner;
    interner.intern("only");
    EXPECT_THROW(interner.resolve(1), std::out_of_range);
    EXPECT_THROW(interner.snapshot()->text(1000), std::out_of_range);
}

TEST(StrInterner, TextsWithEqualHashAndLengthStayApart) {
    StrInterner interner(&constant_hash);
    std::vector<std::string> texts = {"ab", "cd", "", "ef", "abc", "x", "ba"};
    for (size_t i = 0; i < texts.size(); ++i) EXPECT_EQ(interner.intern(texts[i]), i);
    for (size_t i = 0; i < texts.size(); ++i) {
        EXPECT_EQ(interner.intern(texts[i]), i);
        EXPECT_EQ(interner.resolve(static_cast<uint32_t>(i)), texts[i]);
        EXPECT_EQ(interner.snapshot()->get(texts[i]), i);
    }
    EXPECT_EQ(interner.snapshot()->get("zz"), std::nullopt);
    EXPECT_EQ(interner.snapshot()->get("y"), std::nullopt);
}

TEST(MutableInterner, CollidingTextsSurviveGrowthAndFreeze) {
    MutableInterner colliding(&constant_hash);
    MutableInterner normal;
    // Well past the 1792 entries the initial lookup table holds.
    std::vector<std::string> texts;
    for (int i = 0; i < 3000; ++i) texts.push_back(numbered("t", i));
    for (size_t i = 0; i < texts.size(); ++i) {
        ASSERT_EQ(normal.intern(texts[i]), i);
        if (i < 200) {
            ASSERT_EQ(colliding.intern(texts[i]), i);
        }
    }
    EXPECT_EQ(normal.intern("t17"), 17u);
    EXPECT_EQ(normal.get("t2999"), 2999u);
    EXPECT_EQ(normal.get("t3000"), std::nullopt);

    ImmutableInterner frozen = normal.freeze();
    ImmutableInterner frozen_colliding = colliding.freeze();
    ASSERT_EQ(frozen.size(), texts.size());
    for (size_t i = 0; i < texts.size(); ++i) {
        ASSERT_EQ(frozen.get(texts[i]), i);
        ASSERT_EQ(frozen.text(static_cast<uint32_t>(i)), texts[i]);
        if (i < 200) {
            ASSERT_EQ(frozen_colliding.get(texts[i]), i);
        }
    }
    EXPECT_EQ(frozen_colliding.get("t200"), std::nullopt);

    // The frozen copy does not follow later additions.
    normal.intern("later");
    EXPECT_EQ(frozen.get("later"), std::nullopt);
    EXPECT_EQ(frozen.size(), texts.size());
}

TEST(StrInterner, HeldSnapshotOutlivesItsReplacement) {
    StrInterner interner;
    interner.intern("old");
    InternerSnapshot outer = interner.snapshot();
    InternerSnapshot nested = interner.snapshot();
    EXPECT_EQ(outer.get(), nested.get());

    // Interning while holding snapshots must neither wait for them nor free them.
    EXPECT_EQ(interner.intern("new"), 1u);
    InternerSnapshot fresh = interner.snapshot();
    EXPECT_EQ(outer->get("new"), std::nullopt);
    EXPECT_EQ(outer->text(0), "old");
    EXPECT_EQ(fresh->get("new"), 1u);
    EXPECT_EQ(interner.retired_count(), 1u);

    // Moving a hold keeps it; only the last release makes it reclaimable.
    InternerSnapshot moved = std::move(outer);
    outer = std::move(nested);
    EXPECT_EQ(moved->text(0), "old");
    EXPECT_EQ(outer->get("new"), std::nullopt);
    {
        InternerSnapshot drop_a = std::move(moved);
        InternerSnapshot drop_b = std::move(outer);
    }
    EXPECT_EQ(fresh->size(), 2u);
    {
        InternerSnapshot drop_c = std::move(fresh);
    }
    interner.intern("newer");
    EXPECT_EQ(interner.retired_count(), 0u) << "released snapshots are reclaimed by the next addition";
}

TEST(StrInterner, ManySnapshotsHeldAtOnce) {
    StrInterner interner;
    std::vector<InternerSnapshot> held;
    // More holds than one block of reader slots.
    for (int i = 0; i < 3 * static_cast<int>(SnapshotGuards::SLOTS_PER_BLOCK) + 5; ++i) {
        interner.intern(numbered("k", i % 50));
        held.push_back(interner.snapshot());
    }
    for (size_t i = 0; i < held.size(); ++i) {
        size_t expect = std::min<size_t>(i + 1, 50);
        ASSERT_EQ(held[i]->size(), expect);
        ASSERT_EQ(held[i]->text(0), "k0");
    }
    held.clear();
    interner.intern("after");
    EXPECT_EQ(interner.retired_count(), 0u);
}

TEST(StrInterner, GlobalInstanceIsShared) {
    StrInterner& a = INTERNER();
    StrInterner& b = INTERNER();
    EXPECT_EQ(&a, &b);
    uint32_t id = a.intern("global interner text");
    EXPECT_EQ(b.intern("global interner text"), id);
    EXPECT_EQ(b.resolve(id), "global interner text");
}

TEST(StrInterner, ConcurrentInternOfTheSameTextsAgrees) {
    StrInterner interner;
    constexpr int THREADS = 6;
    constexpr int TEXTS = 150;
    std::vector<std::vector<uint32_t>> seen(THREADS, std::vector<uint32_t>(TEXTS));
    std::atomic<int> ready{0};
    std::vector<std::function<void()>> jobs;
    for (int t = 0; t < THREADS; ++t) {
        jobs.emplace_back([&, t] {
            ready.fetch_add(1);
            while (ready.load() < THREADS) std::this_thread::yield();
            // Half the threads walk the texts backwards, so new texts race
            // from both ends.
            for (int k = 0; k < TEXTS; ++k) {
                int i = (t % 2 == 0) ? k : TEXTS - 1 - k;
                seen[t][i] = interner.intern(numbered("shared-", i));
            }
        });
    }
    run_bounded(std::move(jobs));

    std::set<uint32_t> ids;
    for (int i = 0; i < TEXTS; ++i) {
        for (int t = 1; t < THREADS; ++t) ASSERT_EQ(seen[t][i], seen[0][i]) << "text " << i;
        ids.insert(seen[0][i]);
        EXPECT_EQ(interner.resolve(seen[0][i]), numbered("shared-", i));
    }
    EXPECT_EQ(ids.size(), static_cast<size_t>(TEXTS));
    EXPECT_EQ(*ids.rbegin(), static_cast<uint32_t>(TEXTS - 1)) << "ids must stay dense";
    EXPECT_EQ(interner.snapshot()->size(), static_cast<size_t>(TEXTS));
}

TEST(StrInterner, ConcurrentInternOfDistinctTextsGivesDenseIds) {
    StrInterner interner;
    constexpr int THREADS = 4;
    constexpr int TEXTS = 120;
    std::vector<std::vector<uint32_t>> got(THREADS);
    std::vector<std::function<void()>> jobs;
    for (int t = 0; t < THREADS; ++t) {
        jobs.emplace_back([&, t] {
            for (int i = 0; i < TEXTS; ++i) got[t].push_back(interner.intern(std::to_string(t) + "/" + std::to_string(i)));
        });
    }
    run_bounded(std::move(jobs));

    std::set<uint32_t> ids;
    for (int t = 0; t < THREADS; ++t) {
        for (int i = 0; i < TEXTS; ++i) {
            ids.insert(got[t][i]);
            EXPECT_EQ(interner.resolve(got[t][i]), std::to_string(t) + "/" + std::to_string(i));
        }
    }
    EXPECT_EQ(ids.size(), static_cast<size_t>(THREADS * TEXTS));
    EXPECT_EQ(*ids.rbegin(), static_cast<uint32_t>(THREADS * TEXTS - 1));
}

TEST(StrInterner, ReadersKeepWorkingWhileWritersPublish) {
    StrInterner interner;
    interner.intern("base");
    constexpr int WRITERS = 2;
    constexpr int READERS = 3;
    constexpr int TEXTS = 400;
    std::atomic<int> started{0};
    std::atomic<int> writers_left{WRITERS};
    std::atomic<long> reader_failures{0};
    std::vector<std::function<void()>> jobs;
    for (int w = 0; w < WRITERS; ++w) {
        jobs.emplace_back([&, w] {
            started.fetch_add(1);
            while (started.load() < WRITERS + READERS) std::this_thread::yield();
            for (int i = 0; i < TEXTS; ++i) {
                std::string text = numbered("w", w) + numbered("-", i);
                uint32_t id = interner.intern(text);
                // A snapshot taken after intern returns must already know it.
                InternerSnapshot after = interner.snapshot();
                if (after->get(text) != id) reader_failures.fetch_add(1);
            }
            writers_left.fetch_sub(1);
        });
    }
    for (int r = 0; r < READERS; ++r) {
        jobs.emplace_back([&] {
            // An old snapshot held across many publications stays readable.
            InternerSnapshot pinned = interner.snapshot();
            size_t last_size = 0;
            started.fetch_add(1);
            while (started.load() < WRITERS + READERS) std::this_thread::yield();
            do {
                InternerSnapshot snap = interner.snapshot();
                if (snap->size() < last_size) reader_failures.fetch_add(1);
                last_size = snap->size();
                for (uint32_t id = 0; id < snap->size(); ++id) {
                    if (snap->get(snap->text(id)) != id) reader_failures.fetch_add(1);
                }
                if (pinned->text(0) != "base" || pinned->get("base") != 0u) reader_failures.fetch_add(1);
                if (last_size % 7 == 0) pinned = interner.snapshot();
            } while (writers_left.load() > 0);
        });
    }
    run_bounded(std::move(jobs));

    EXPECT_EQ(reader_failures.load(), 0);
    EXPECT_EQ(interner.snapshot()->size(), static_cast<size_t>(1 + WRITERS * TEXTS));
    interner.intern("settle");
    EXPECT_EQ(interner.retired_count(), 0u);
}

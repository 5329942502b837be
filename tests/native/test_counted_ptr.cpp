// The one-word shared pointer: every holder counts once, the last one frees
// the object exactly once, on whichever thread. A lost increment frees the
// object under a holder (a use after free under the sanitizers), a spare one
// leaks it (the leak checker), and a last decrement that does not see the
// other holders' writes races with them (the thread sanitizer).
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <thread>
#include <utility>
#include <vector>

#include "index/core/structures/counted_ptr.hpp"
#include "run_bounded.hpp"

namespace tarnwick::counted_test {
namespace {

std::atomic<int> freed{0};

struct Probe {
    explicit Probe(size_t slots = 0) : marks(slots, 0) {}
    ~Probe() {
        uint64_t sum = 0;
        for (uint64_t m : marks) sum += m;  // reads what every holder wrote
        last_sum = sum;
        freed.fetch_add(1);
    }
    EmbeddedCount count;
    std::vector<uint64_t> marks;
    static inline uint64_t last_sum = 0;
};

void count_up(const Probe* p) noexcept { const_cast<Probe*>(p)->count.up(); }
void count_down(const Probe* p) noexcept {
    if (const_cast<Probe*>(p)->count.down()) delete p;
}

using ProbePtr = CountedPtr<Probe>;

ProbePtr make_probe(size_t slots = 0) { return ProbePtr::adopt(new Probe(slots)); }

static_assert(sizeof(ProbePtr) == sizeof(void*));

// Each step leaves `a` holding the probe, with the count it should show.
struct Step {
    const char* name;
    std::function<void(ProbePtr& a, std::vector<ProbePtr>& others)> run;
    uint32_t holders;
};

class CountedPtrSteps : public ::testing::TestWithParam<Step> {};

TEST_P(CountedPtrSteps, CountsEveryHolderAndFreesOnceWithTheLast) {
    int freed_before = 0;
    {
        ProbePtr a = make_probe();
        Probe* raw = a.get();
        std::vector<ProbePtr> others;
        GetParam().run(a, others);
        freed_before = freed.load();  // a step may free probes of its own
        ASSERT_EQ(a.get(), raw);
        EXPECT_EQ(raw->count.load(), GetParam().holders);
        a.reset();
        EXPECT_FALSE(a);
        EXPECT_EQ(a, nullptr);
        EXPECT_EQ(freed.load(), others.empty() ? freed_before + 1 : freed_before);
    }
    EXPECT_EQ(freed.load(), freed_before + 1);
}

INSTANTIATE_TEST_SUITE_P(
    Holders, CountedPtrSteps,
    ::testing::Values(
        Step{"alone", [](ProbePtr&, std::vector<ProbePtr>&) {}, 1},
        Step{"copies", [](ProbePtr& a, std::vector<ProbePtr>& o) { o.assign(3, a); }, 4},
        Step{"moved_back_and_forth",
             [](ProbePtr& a, std::vector<ProbePtr>&) {
                 ProbePtr b(std::move(a));
                 EXPECT_FALSE(a);
                 a = std::move(b);
                 EXPECT_FALSE(b);
             },
             1},
        Step{"self_assigned",
             [](ProbePtr& a, std::vector<ProbePtr>&) {
                 ProbePtr& alias = a;
                 a = alias;
                 a = std::move(alias);
             },
             1},
        Step{"assigned_over_another",
             [](ProbePtr& a, std::vector<ProbePtr>& o) {
                 const int before = freed.load();
                 ProbePtr other = make_probe();
                 other = a;  // the other probe goes with its only holder
                 EXPECT_EQ(freed.load(), before + 1);
                 EXPECT_EQ(other, a);
                 o.push_back(std::move(other));
             },
             2},
        Step{"swapped_with_null",
             [](ProbePtr& a, std::vector<ProbePtr>&) {
                 ProbePtr b;
                 b.swap(a);
                 EXPECT_EQ(a, nullptr);
                 a.swap(b);
             },
             1},
        Step{"nulled_copy",
             [](ProbePtr& a, std::vector<ProbePtr>&) {
                 ProbePtr b = a;
                 b = nullptr;
             },
             1}),
    [](const ::testing::TestParamInfo<Step>& info) { return std::string(info.param.name); });

// Threads take copies of one probe, copy and drop them many times, write
// their own mark into it and drop the last copy in turn; whichever drops
// last frees it and must see every mark.
class CountedPtrThreads : public ::testing::TestWithParam<int> {};

TEST_P(CountedPtrThreads, TheLastHolderOnAnyThreadFreesOnceAndSeesEveryWrite) {
    const int threads = GetParam();
#if defined(__SANITIZE_THREAD__)
    constexpr int rounds = 2000;
#else
    constexpr int rounds = 50000;
#endif
    for (int trial = 0; trial < 20; ++trial) {
        const int freed_before = freed.load();
        ProbePtr shared = make_probe(threads);
        std::vector<ProbePtr> handed(threads, shared);
        std::vector<std::function<void()>> jobs;
        for (int t = 0; t < threads; ++t) {
            jobs.push_back([&, t] {
                ProbePtr mine = std::move(handed[t]);
                for (int i = 0; i < rounds; ++i) {
                    ProbePtr copy = mine;
                    ProbePtr moved = std::move(copy);
                    if (i % 7 == 0) moved.reset();
                }
                mine->marks[t] = uint64_t(t) + 1;
            });
        }
        shared.reset();  // the threads' copies are all that is left
        tarnwick::testing::run_bounded(jobs);
        ASSERT_EQ(freed.load(), freed_before + 1);
        EXPECT_EQ(Probe::last_sum, uint64_t(threads) * (threads + 1) / 2);
    }
}

INSTANTIATE_TEST_SUITE_P(Threads, CountedPtrThreads, ::testing::Values(2, 4));

}  // namespace
}  // namespace tarnwick::counted_test

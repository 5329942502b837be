#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "index/core/structures/slot_pool.hpp"
#include "run_bounded.hpp"

using namespace tarnwick;
using tarnwick::testing::run_bounded;

namespace {

// A slot stamped with who holds it: a slot handed out twice, or written by
// the pool while held, loses its stamp.
struct Stamp {
    uint64_t owner;
    uint64_t serial;
};
static_assert(sizeof(Stamp) == SlotPool::slot_size);

Stamp* take(uint64_t owner, uint64_t serial) {
    void* p = SlotPool::allocate();
    EXPECT_NE(p, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 16, 0u);
    return new (p) Stamp{owner, serial};
}

// Threads that each keep a changing set of slots, releasing at random and
// handing some to a neighbour to release: no slot is given to two holders,
// and when every thread has ended the pool counts none in use.
class SlotPoolThreads : public ::testing::TestWithParam<int> {};

TEST_P(SlotPoolThreads, NoSlotIsHeldTwiceAndEndedThreadsGiveAllBack) {
    const int threads = GetParam();
    const int64_t before = SlotPool::in_use();
#if defined(__SANITIZE_THREAD__)
    constexpr int rounds = 2500;  // the thread sanitizer makes each step ~50x dearer
#else
    constexpr int rounds = 20000;
#endif
    // Slots on their way to the next thread, which releases them.
    std::vector<std::deque<Stamp*>> inbox(threads);
    std::vector<std::mutex> inbox_lock(threads);
    std::vector<std::function<void()>> jobs;
    for (int t = 0; t < threads; ++t) {
        jobs.push_back([&, t] {
            std::mt19937_64 rng(t);
            std::vector<Stamp*> held;
            uint64_t serial = 0;
            auto check_and_release = [&](Stamp* s, uint64_t owner) {
                EXPECT_EQ(s->owner, owner);
                SlotPool::release(s);
            };
            for (int i = 0; i < rounds; ++i) {
                // Grow in bursts longer than a batch, so that slots move
                // through the depot as well as the thread's own lists.
                const int burst = int(rng() % (3 * SlotPool::batch_slots));
                for (int k = 0; k < burst; ++k) held.push_back(take(uint64_t(t), serial++));
                std::shuffle(held.begin(), held.end(), rng);
                const size_t keep = held.size() / 4;
                for (size_t k = keep; k < held.size(); ++k) {
                    if (k % 5 == 0) {
                        std::lock_guard<std::mutex> g(inbox_lock[(t + 1) % threads]);
                        held[k]->owner = uint64_t((t + 1) % threads);
                        inbox[(t + 1) % threads].push_back(held[k]);
                    } else {
                        check_and_release(held[k], uint64_t(t));
                    }
                }
                held.resize(keep);
                std::deque<Stamp*> mine;
                {
                    std::lock_guard<std::mutex> g(inbox_lock[t]);
                    mine.swap(inbox[t]);
                }
                for (Stamp* s : mine) check_and_release(s, uint64_t(t));
                if (i % 1000 == 0) {
                    std::set<Stamp*> distinct(held.begin(), held.end());
                    EXPECT_EQ(distinct.size(), held.size());
                }
            }
            for (Stamp* s : held) check_and_release(s, uint64_t(t));
        });
    }
    run_bounded(std::move(jobs));
    // Slots handed over after their receiver ended.
    for (auto& left : inbox)
        for (Stamp* s : left) SlotPool::release(s);
    EXPECT_EQ(SlotPool::in_use(), before);
}

INSTANTIATE_TEST_SUITE_P(Threads, SlotPoolThreads, ::testing::Values(1, 2, 4, 8));

// Slots released are handed out again rather than new chunks taken: a pool
// that lost its free slots (a thread's, at its end, or those passed to the
// depot) would grow each round.
TEST(SlotPool, ReleasedSlotsServeLaterAllocationsOfAnyThread) {
    constexpr size_t count = 50000;
    auto round = [] {
        std::vector<void*> slots;
        for (size_t i = 0; i < count; ++i) slots.push_back(SlotPool::allocate());
        for (void* s : slots) SlotPool::release(s);
    };
    // A thread that makes and drops them, another that makes them and
    // leaves them to a third to drop.
    auto handed_over = [] {
        std::vector<void*> slots;
        std::thread maker([&] {
            for (size_t i = 0; i < count; ++i) slots.push_back(SlotPool::allocate());
        });
        maker.join();
        std::thread dropper([&] {
            for (void* s : slots) SlotPool::release(s);
        });
        dropper.join();
    };
    std::thread(round).join();
    handed_over();
    const size_t settled = SlotPool::capacity();
    for (int i = 0; i < 5; ++i) {
        std::thread(round).join();
        handed_over();
        round();
    }
    // Each live thread may keep two batches to itself.
    EXPECT_LE(SlotPool::capacity(), settled + 4 * SlotPool::batch_slots);
}

// Slots released and taken by the destructors of a thread's other
// thread-locals after the pool let go of that thread's lists.
struct LateHolder {
    std::vector<void*> slots;
    ~LateHolder() {
        for (void* s : slots) SlotPool::release(s);
        void* again = SlotPool::allocate();
        EXPECT_NE(again, nullptr);
        SlotPool::release(again);
    }
};

TEST(SlotPool, ThreadLocalsDestroyedAfterThePoolsOwnStillReleaseAndAllocate) {
    const int64_t before = SlotPool::in_use();
    std::thread([] {
        // Made before the thread's first slot, so destroyed after the pool's
        // own thread-local.
        static thread_local LateHolder holder;
        for (int i = 0; i < 3 * int(SlotPool::batch_slots); ++i) holder.slots.push_back(SlotPool::allocate());
    }).join();
    EXPECT_EQ(SlotPool::in_use(), before);
}

// A process forked while other threads trade with the depot gets it usable:
// the child takes and drops more than a thread keeps, which goes through the
// depot. A lock inherited held would hang the child.
TEST(SlotPool, AForkedChildUsesTheDepotWhatever) {
    std::atomic<bool> stop{false};
    std::vector<std::thread> traders;
    for (int t = 0; t < 2; ++t) {
        traders.emplace_back([&] {
            std::vector<void*> slots;
            while (!stop.load()) {
                for (uint32_t i = 0; i < 3 * SlotPool::batch_slots; ++i) slots.push_back(SlotPool::allocate());
                for (void* s : slots) SlotPool::release(s);
                slots.clear();
            }
        });
    }
    for (int fork_round = 0; fork_round < 20; ++fork_round) {
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            std::vector<void*> slots;
            for (uint32_t i = 0; i < 8 * SlotPool::batch_slots; ++i) slots.push_back(SlotPool::allocate());
            for (void* s : slots) SlotPool::release(s);
            for (uint32_t i = 0; i < 8 * SlotPool::batch_slots; ++i) slots[i] = SlotPool::allocate();
            _exit(std::set<void*>(slots.begin(), slots.end()).size() == slots.size() ? 0 : 1);
        }
        int status = 0;
        // A hung child is a failure, not a hang of the suite.
        int waited = 0;
        pid_t done = 0;
        while ((done = waitpid(child, &status, WNOHANG)) == 0 && waited < 6000) {
            usleep(10000);
            ++waited;
        }
        if (done == 0) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            ADD_FAILURE() << "the child hung on the depot";
            break;
        }
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    stop.store(true);
    for (auto& t : traders) t.join();
}

}  // namespace

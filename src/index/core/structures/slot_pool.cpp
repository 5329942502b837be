#include "index/core/structures/slot_pool.hpp"

#include <pthread.h>

#include <atomic>
#include <cstdlib>
#include <thread>
#include <utility>

namespace tarnwick {
namespace slot_pool_detail {
namespace {

constexpr size_t slot_size = SlotPool::slot_size;
constexpr uint32_t batch_slots = SlotPool::batch_slots;
constexpr size_t chunk_bytes = SlotPool::chunk_bytes;

// The pool's own reads and writes of free slots, which stay poisoned.
FreeSlot* next_of(FreeSlot* s) noexcept {
    unpoison(s, slot_size);
    FreeSlot* next = s->next;
    poison(s, slot_size);
    return next;
}
void link(FreeSlot* s, FreeSlot* next, FreeSlot* next_batch) noexcept {
    unpoison(s, slot_size);
    s->next = next;
    s->next_batch = next_batch;
    poison(s, slot_size);
}
FreeSlot* next_batch_of(FreeSlot* s) noexcept {
    unpoison(s, slot_size);
    FreeSlot* next = s->next_batch;
    poison(s, slot_size);
    return next;
}

// The depot: lists of free slots, each linked through `next`, the lists
// linked through their first slot's `next_batch`. Every write leaves it whole,
// which is what lets a forked child simply open the lock.
std::atomic<bool> depot_busy{false};
FreeSlot* depot = nullptr;                // guarded by depot_busy
void* chunks = nullptr;                   // every chunk, through its first word; guarded by depot_busy
std::atomic<bool> depot_stocked{false};   // a hint read without the lock
std::atomic<int64_t> handed_total{0};
std::atomic<size_t> chunk_count{0};

class DepotGuard {
public:
    DepotGuard() noexcept {
        while (depot_busy.exchange(true, std::memory_order_acquire)) {
            while (depot_busy.load(std::memory_order_relaxed)) std::this_thread::yield();
        }
    }
    ~DepotGuard() { depot_busy.store(false, std::memory_order_release); }
    DepotGuard(const DepotGuard&) = delete;
    DepotGuard& operator=(const DepotGuard&) = delete;
};

void give_batch(FreeSlot* batch) noexcept {
    if (!batch) return;
    DepotGuard g;
    unpoison(batch, slot_size);
    batch->next_batch = depot;
    poison(batch, slot_size);
    depot = batch;
    depot_stocked.store(true, std::memory_order_relaxed);
}

FreeSlot* take_batch() noexcept {
    if (!depot_stocked.load(std::memory_order_relaxed)) return nullptr;
    DepotGuard g;
    FreeSlot* batch = depot;
    if (batch) depot = next_batch_of(batch);
    if (!depot) depot_stocked.store(false, std::memory_order_relaxed);
    return batch;
}

// One slot out of the depot, the rest of its batch left there.
FreeSlot* take_one() noexcept {
    if (!depot_stocked.load(std::memory_order_relaxed)) return nullptr;
    DepotGuard g;
    FreeSlot* batch = depot;
    if (!batch) return nullptr;
    FreeSlot* rest = next_of(batch);
    FreeSlot* after = next_batch_of(batch);
    if (rest) {
        unpoison(rest, slot_size);
        rest->next_batch = after;
        poison(rest, slot_size);
        depot = rest;
    } else {
        depot = after;
        if (!depot) depot_stocked.store(false, std::memory_order_relaxed);
    }
    return batch;
}

// A chunk from the system, its first slot holding the link to the chunk
// before it (the pool keeps every chunk reachable); the rest, poisoned, is
// what the caller carves.
char* new_chunk() noexcept {
    char* chunk = static_cast<char*>(std::malloc(chunk_bytes));
    if (!chunk) return nullptr;
    {
        DepotGuard g;
        *reinterpret_cast<void**>(chunk) = chunks;
        chunks = chunk;
    }
    chunk_count.fetch_add(1, std::memory_order_relaxed);
    poison(chunk + slot_size, chunk_bytes - slot_size);
    return chunk + slot_size;
}

// Up to a batch of slots carved from [fresh, fresh_end), linked; `count` is
// set to how many.
FreeSlot* carve(char*& fresh, char* fresh_end, uint32_t& count) noexcept {
    const size_t left = size_t(fresh_end - fresh) / slot_size;
    count = static_cast<uint32_t>(left < batch_slots ? left : batch_slots);
    auto* first = reinterpret_cast<FreeSlot*>(fresh);
    for (uint32_t i = 0; i < count; ++i) {
        auto* s = reinterpret_cast<FreeSlot*>(fresh + i * slot_size);
        link(s, i + 1 < count ? s + 1 : nullptr, nullptr);
    }
    fresh += size_t(count) * slot_size;
    return count ? first : nullptr;
}

uint32_t length_of(FreeSlot* list) noexcept {
    uint32_t n = 0;
    for (; list; list = next_of(list)) ++n;
    return n;
}

void publish(Cache& c) noexcept {
    if (c.handed != 0) handed_total.fetch_add(std::exchange(c.handed, 0), std::memory_order_relaxed);
}

// At a thread's end: whatever it kept goes to the depot, and the thread's
// later slots (released by destructors of other thread-locals) go straight
// there as well.
struct Retirer {
    ~Retirer() {
        Cache& c = cache;
        give_batch(std::exchange(c.loaded, nullptr));
        give_batch(std::exchange(c.spare, nullptr));
        while (c.fresh != c.fresh_end) {
            uint32_t n = 0;
            give_batch(carve(c.fresh, c.fresh_end, n));
        }
        c.room = 0;
        c.retired = true;
        publish(c);
    }
};

void open_in_child() noexcept { depot_busy.store(false, std::memory_order_relaxed); }

void join(Cache& c) noexcept {
    static const bool fork_handler = [] {
        pthread_atfork(nullptr, nullptr, open_in_child);
        return true;
    }();
    (void)fork_handler;
    static thread_local Retirer retirer;
    (void)&retirer;
    c.joined = true;
    c.room = batch_slots;
}

}  // namespace

void* allocate_slow() noexcept {
    Cache& c = cache;
    if (!c.joined) join(c);
    publish(c);
    if (c.retired) {
        FreeSlot* s = take_one();
        if (!s) {
            char* fresh = new_chunk();
            if (!fresh) return nullptr;
            char* end = fresh - slot_size + chunk_bytes;
            s = reinterpret_cast<FreeSlot*>(fresh);
            fresh += slot_size;
            while (fresh != end) {
                uint32_t n = 0;
                give_batch(carve(fresh, end, n));
            }
        }
        unpoison(s, slot_size);
        handed_total.fetch_add(1, std::memory_order_relaxed);
        return s;
    }
    uint32_t count = 0;
    if (c.spare) {
        c.loaded = std::exchange(c.spare, nullptr);
        count = batch_slots;
    } else if (FreeSlot* batch = take_batch()) {
        c.loaded = batch;
        unpoison(batch, slot_size);
        batch->next_batch = nullptr;
        poison(batch, slot_size);
        count = length_of(batch);
    } else {
        if (c.fresh == c.fresh_end) {
            char* fresh = new_chunk();
            if (!fresh) return nullptr;
            c.fresh = fresh;
            c.fresh_end = fresh - slot_size + chunk_bytes;
        }
        c.loaded = carve(c.fresh, c.fresh_end, count);
    }
    c.room = batch_slots - count;
    return SlotPool::allocate();
}

void release_slow(void* slot) noexcept {
    Cache& c = cache;
    auto* s = static_cast<FreeSlot*>(slot);
    if (!c.joined) join(c);
    if (c.retired) {
        link(s, nullptr, nullptr);
        give_batch(s);
        handed_total.fetch_sub(1, std::memory_order_relaxed);
        return;
    }
    if (c.room == 0) {
        // `loaded` is a full batch: it becomes the spare, the old spare goes.
        give_batch(std::exchange(c.spare, std::exchange(c.loaded, nullptr)));
        c.room = batch_slots;
        publish(c);
    }
    SlotPool::release(slot);
}

}  // namespace slot_pool_detail

int64_t SlotPool::in_use() noexcept {
    return slot_pool_detail::handed_total.load(std::memory_order_relaxed) + slot_pool_detail::cache.handed;
}

size_t SlotPool::capacity() noexcept {
    return slot_pool_detail::chunk_count.load(std::memory_order_relaxed) * (chunk_bytes / slot_size - 1);
}

}  // namespace tarnwick

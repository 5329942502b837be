// Small fixed-size slots for records made and dropped at a high rate, on any
// thread: the shared boxes of Python references, several per object.
//
// From the general allocator such a record costs twice its size (a 16-byte
// record takes a 32-byte chunk) and a trip through its bookkeeping each way.
// Here slots are carved from 64 KiB chunks and kept, once released, in the
// releasing thread's own lists: the common allocation and release touch no
// atomic and take no lock. A thread keeps at most two batches of free slots;
// beyond that a batch goes to the process-wide depot, where any thread finds
// it, so that a thread that only releases (a thread that drops what another
// made) does not hoard. A thread that ends hands everything it kept to the
// depot. Chunks are never returned: their free slots serve later allocations.
//
// The depot's lock is a leaf, held for a few pointer writes and never by a
// thread that could block inside; a process forked while another thread held
// it gets it open (the depot is whole at every step, a batch in flight is at
// worst lost to the child). No Python, no engine lock: release runs in
// destructors, often during an unwind, so it allocates nothing and never
// fails.
//
// Under AddressSanitizer a free slot is poisoned, so that a use of a slot
// after its release is reported as the general allocator's would be.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

namespace tarnwick {

namespace slot_pool_detail {

struct FreeSlot {
    FreeSlot* next;        // the rest of its list
    FreeSlot* next_batch;  // in the depot: the batch after this one's
};

// A thread's own slots. Trivially destructible, so that it stays usable while
// the thread's other thread-locals are destroyed: their destructors may
// release slots after this thread's lists went to the depot.
struct Cache {
    FreeSlot* loaded;  // what allocation takes first, at most a batch
    FreeSlot* spare;   // a full batch, or null
    char* fresh;       // uncarved slots of this thread's newest chunk
    char* fresh_end;
    // Releases the fast path may still take: batch_slots minus the length
    // of `loaded` while the thread is joined and not retired, else 0 (the
    // slow path then decides). `loaded` is empty unless the thread is joined
    // and not retired.
    uint32_t room;
    bool joined;     // the thread's end hands its slots to the depot
    bool retired;    // it did: everything goes through the depot now
    int64_t handed;  // allocations minus releases not yet counted globally
};

inline thread_local constinit Cache cache{};

inline void poison(void* slot, size_t bytes) noexcept {
#if defined(__SANITIZE_ADDRESS__)
    ASAN_POISON_MEMORY_REGION(slot, bytes);
#else
    (void)slot;
    (void)bytes;
#endif
}
inline void unpoison(void* slot, size_t bytes) noexcept {
#if defined(__SANITIZE_ADDRESS__)
    ASAN_UNPOISON_MEMORY_REGION(slot, bytes);
#else
    (void)slot;
    (void)bytes;
#endif
}

void* allocate_slow() noexcept;
void release_slow(void* slot) noexcept;

}  // namespace slot_pool_detail

class SlotPool {
public:
    static constexpr size_t slot_size = 16;
    // Slots a thread moves to or from the depot at a time.
    static constexpr uint32_t batch_slots = 256;
    static constexpr size_t chunk_bytes = size_t(1) << 16;

    // A slot of slot_size bytes aligned to 16, or null if the system has no
    // memory for a new chunk. Any thread.
    static void* allocate() noexcept {
        using namespace slot_pool_detail;
        Cache& c = cache;
        if (FreeSlot* s = c.loaded) [[likely]] {
            unpoison(s, slot_size);
            c.loaded = s->next;
            ++c.room;
            ++c.handed;
            return s;
        }
        return allocate_slow();
    }

    // Gives back a slot of allocate(), from any thread. Never fails.
    static void release(void* slot) noexcept {
        using namespace slot_pool_detail;
        Cache& c = cache;
        if (c.room != 0) [[likely]] {
            auto* s = static_cast<FreeSlot*>(slot);
            s->next = c.loaded;
            poison(s, slot_size);
            c.loaded = s;
            --c.room;
            --c.handed;
            return;
        }
        release_slow(slot);
    }

    // Slots handed out and not released: exact for this thread's own work
    // and that of threads that have ended; a running thread's count joins it
    // whenever that thread trades slots with the depot.
    static int64_t in_use() noexcept;
    // Slots in the chunks taken from the system so far.
    static size_t capacity() noexcept;
};
static_assert(sizeof(slot_pool_detail::FreeSlot) == SlotPool::slot_size);

}  // namespace tarnwick

// Process-wide table of attribute names and other texts, as dense u32 ids.
//
// Ids are issued 0, 1, 2, ... in the order texts are first seen and are never
// reused, so engines keep one plain vector slot per name. Lookups vastly
// outnumber additions: readers work on an immutable snapshot and never lock or
// allocate; an addition rebuilds the snapshot under a mutex and publishes it
// with one atomic store. The vocabulary is expected to be small and stable, so
// the full copy per new text (quadratic in the number of texts) is acceptable.
//
// Snapshots are protected by per-reader guard slots (hazard pointers): a reader
// announces the snapshot it uses in a slot, and a replaced snapshot is deleted
// only once no slot announces it. A writer never waits for readers; snapshots
// still in use when they are replaced are deleted by a later addition. Waiting
// would deadlock whenever a thread holding a snapshot interns a text, or waits
// for something (the GIL) that the interning thread holds.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "index/core/structures/fx_hash.hpp"

namespace tarnwick {

// One interned text: immutable and shared by every snapshot that lists it.
class InternedStr {
public:
    explicit InternedStr(std::string_view text)
        : owner_(std::make_shared<const std::string>(text)), data_(owner_->data()), size_(owner_->size()) {}

    std::string_view view() const noexcept { return {data_, size_}; }
    size_t size() const noexcept { return size_; }

private:
    std::shared_ptr<const std::string> owner_;
    // Cached so that comparing against a lookup text reads no extra pointers.
    const char* data_;
    size_t size_;
};

using TextHashFn = uint64_t (*)(std::string_view);

// Ids of the texts with one (hash, length) pair; nearly always exactly one,
// which is kept inline.
class InternIdList {
public:
    explicit InternIdList(uint32_t first) noexcept : first_(first) {}

    void push(uint32_t id) { rest_.push_back(id); }
    size_t size() const noexcept { return 1 + rest_.size(); }
    uint32_t operator[](size_t i) const noexcept { return i == 0 ? first_ : rest_[i - 1]; }

private:
    uint32_t first_;
    std::vector<uint32_t> rest_;
};

// Open-addressing table from (text hash, text length) to the ids with that
// pair. Buckets hold entry numbers, so a copy keeps the bucket layout and
// costs two flat vector copies.
class InternLookup {
public:
    static constexpr size_t INITIAL_BUCKETS = 2048;

    InternLookup() : buckets_(INITIAL_BUCKETS, EMPTY) {}

    // The id list for the pair, or null.
    const InternIdList* find(uint64_t hash, size_t length) const noexcept;
    // The id list for the pair, created (holding id) when missing; the bool
    // tells whether it was created.
    std::pair<InternIdList*, bool> find_or_create(uint64_t hash, size_t length, uint32_t id);

    size_t entry_count() const noexcept { return entries_.size(); }
    size_t bucket_count() const noexcept { return buckets_.size(); }

private:
    static constexpr uint32_t EMPTY = UINT32_MAX;

    struct Entry {
        uint64_t hash;
        uint64_t length;
        InternIdList ids;
    };

    static uint32_t bucket_hash(uint64_t hash, size_t length) noexcept {
        FxHasher32 h;
        h.add64(hash);
        h.add64(static_cast<uint64_t>(length));
        return h.finish();
    }
    void grow();

    std::vector<uint32_t> buckets_;  // entry number or EMPTY; size a power of two
    std::vector<Entry> entries_;
};

// A frozen copy of the interner. Never changes once built.
class ImmutableInterner {
public:
    explicit ImmutableInterner(TextHashFn hash = &ImmutableInterner::hash_str) : hash_(hash) {}
    ImmutableInterner(TextHashFn hash, std::vector<InternedStr> strings, InternLookup lookup)
        : hash_(hash), strings_(std::move(strings)), lookup_(std::move(lookup)) {}

    // The id of text, if this snapshot knows it.
    std::optional<uint32_t> get(std::string_view text) const noexcept;

    // Text of an id this snapshot knows; throws std::out_of_range otherwise.
    // The view stays valid while the snapshot is held.
    std::string_view text(uint32_t id) const;

    // Number of ids known; every id below it is valid here.
    size_t size() const noexcept { return strings_.size(); }

    // The text hash kept by the interner and by string values.
    static uint64_t hash_str(std::string_view text) noexcept { return fx_hash_str(text.data(), text.size()); }

private:
    uint64_t hash_of(std::string_view text) const noexcept {
        // The usual hash is called directly so that it can be inlined.
        return hash_ == &ImmutableInterner::hash_str ? hash_str(text) : hash_(text);
    }

    TextHashFn hash_;
    std::vector<InternedStr> strings_;
    InternLookup lookup_;
};

// The write side of the interner; not thread-safe on its own.
class MutableInterner {
public:
    // A different hash function exists only so that tests can force collisions.
    explicit MutableInterner(TextHashFn hash = &ImmutableInterner::hash_str);

    std::optional<uint32_t> get(std::string_view text) const;
    // The id of text, adding it if new.
    uint32_t intern(std::string_view text);
    size_t size() const noexcept { return strings_.size(); }

    ImmutableInterner freeze() const;

private:
    static constexpr size_t INITIAL_CAPACITY = 1024;

    TextHashFn hash_;
    std::vector<InternedStr> strings_;  // slot i holds the text of id i
    InternLookup lookup_;
};

// Slots in which readers announce the snapshot they are using. Claiming a slot
// is a compare-and-swap on a free one; when all are busy, another block is
// chained on (the only allocation on the read side, and only with more than
// SLOTS_PER_BLOCK snapshots held at once).
class SnapshotGuards {
public:
    static constexpr size_t SLOTS_PER_BLOCK = 128;

    struct alignas(64) Slot {
        std::atomic<const void*> ptr{nullptr};
    };

    SnapshotGuards() = default;
    SnapshotGuards(const SnapshotGuards&) = delete;
    SnapshotGuards& operator=(const SnapshotGuards&) = delete;
    ~SnapshotGuards();

    // Claims a free slot and makes it announce p. Never blocks.
    Slot* claim(const void* p);
    static void release(Slot* slot) noexcept { slot->ptr.store(nullptr, std::memory_order_release); }

    // Whether some slot announces p.
    bool announces(const void* p) const noexcept;

private:
    struct Block {
        Slot slots[SLOTS_PER_BLOCK];
        std::atomic<Block*> next{nullptr};
    };
    Block head_;
};

// A reader's hold on one snapshot. Move-only; releasing never blocks. Any
// number may be held at once, on one thread or many.
class InternerSnapshot {
public:
    InternerSnapshot(InternerSnapshot&& o) noexcept
        : snap_(std::exchange(o.snap_, nullptr)), slot_(std::exchange(o.slot_, nullptr)) {}
    InternerSnapshot& operator=(InternerSnapshot&& o) noexcept {
        if (this != &o) {
            reset();
            snap_ = std::exchange(o.snap_, nullptr);
            slot_ = std::exchange(o.slot_, nullptr);
        }
        return *this;
    }
    InternerSnapshot(const InternerSnapshot&) = delete;
    InternerSnapshot& operator=(const InternerSnapshot&) = delete;
    ~InternerSnapshot() { reset(); }

    const ImmutableInterner* operator->() const noexcept { return snap_; }
    const ImmutableInterner& operator*() const noexcept { return *snap_; }
    const ImmutableInterner* get() const noexcept { return snap_; }

private:
    friend class StrInterner;
    InternerSnapshot(const ImmutableInterner* snap, SnapshotGuards::Slot* slot) noexcept : snap_(snap), slot_(slot) {}
    void reset() noexcept {
        if (slot_) SnapshotGuards::release(slot_);
        snap_ = nullptr;
        slot_ = nullptr;
    }

    const ImmutableInterner* snap_;
    SnapshotGuards::Slot* slot_;
};

class StrInterner {
public:
    explicit StrInterner(TextHashFn hash = &ImmutableInterner::hash_str);
    StrInterner(const StrInterner&) = delete;
    StrInterner& operator=(const StrInterner&) = delete;
    // Requires that no snapshot of this interner is still held.
    ~StrInterner();

    // The id of text, adding it if new. Known texts take no lock.
    uint32_t intern(std::string_view text);

    // Owned copy of the text of id; throws std::out_of_range for an id that was
    // never issued.
    std::string resolve(uint32_t id) const;

    // The current snapshot. Every id returned by intern before this call
    // resolves in it.
    InternerSnapshot snapshot() const;

    // Replaced snapshots not yet deleted because a reader still held them.
    size_t retired_count() const;

private:
    void publish_locked();
    void reclaim_locked();

    mutable SnapshotGuards guards_;
    std::atomic<const ImmutableInterner*> current_;

    mutable std::mutex write_mutex_;
    MutableInterner mutable_;                       // guarded by write_mutex_
    std::vector<const ImmutableInterner*> retired_;  // guarded by write_mutex_
};

// The interner of the process, created on first use and never destroyed, so
// that it outlives every other static that might still look names up.
StrInterner& INTERNER();

}  // namespace tarnwick

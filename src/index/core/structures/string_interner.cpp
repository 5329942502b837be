#include "index/core/structures/string_interner.hpp"

#include <functional>
#include <stdexcept>
#include <thread>

namespace tarnwick {

// ---- InternLookup

const InternIdList* InternLookup::find(uint64_t hash, size_t length) const noexcept {
    size_t mask = buckets_.size() - 1;
    for (size_t b = bucket_hash(hash, length) & mask;; b = (b + 1) & mask) {
        uint32_t at = buckets_[b];
        if (at == EMPTY) return nullptr;
        const Entry& e = entries_[at];
        if (e.hash == hash && e.length == length) return &e.ids;
    }
}

std::pair<InternIdList*, bool> InternLookup::find_or_create(uint64_t hash, size_t length, uint32_t id) {
    // Keep at most 7/8 of the buckets in use so probes stay short.
    if ((entries_.size() + 1) * 8 > buckets_.size() * 7) grow();
    size_t mask = buckets_.size() - 1;
    size_t b = bucket_hash(hash, length) & mask;
    for (;; b = (b + 1) & mask) {
        uint32_t at = buckets_[b];
        if (at == EMPTY) break;
        Entry& e = entries_[at];
        if (e.hash == hash && e.length == length) return {&e.ids, false};
    }
    entries_.push_back(Entry{hash, static_cast<uint64_t>(length), InternIdList(id)});
    buckets_[b] = static_cast<uint32_t>(entries_.size() - 1);
    return {&entries_.back().ids, true};
}

void InternLookup::grow() {
    std::vector<uint32_t> fresh(buckets_.size() * 2, EMPTY);
    size_t mask = fresh.size() - 1;
    for (uint32_t at = 0; at < entries_.size(); ++at) {
        size_t b = bucket_hash(entries_[at].hash, entries_[at].length) & mask;
        while (fresh[b] != EMPTY) b = (b + 1) & mask;
        fresh[b] = at;
    }
    buckets_.swap(fresh);
}

// ---- ImmutableInterner

std::optional<uint32_t> ImmutableInterner::get(std::string_view text) const noexcept {
    if (strings_.empty()) return std::nullopt;
    const InternIdList* ids = lookup_.find(hash_of(text), text.size());
    if (!ids) return std::nullopt;
    for (size_t i = 0; i < ids->size(); ++i) {
        uint32_t id = (*ids)[i];
        if (strings_[id].view() == text) return id;
    }
    return std::nullopt;
}

std::string_view ImmutableInterner::text(uint32_t id) const {
    if (id >= strings_.size()) throw std::out_of_range("unknown interned string id");
    return strings_[id].view();
}

// ---- MutableInterner

MutableInterner::MutableInterner(TextHashFn hash) : hash_(hash) { strings_.reserve(INITIAL_CAPACITY); }

std::optional<uint32_t> MutableInterner::get(std::string_view text) const {
    const InternIdList* ids = lookup_.find(hash_(text), text.size());
    if (!ids) return std::nullopt;
    for (size_t i = 0; i < ids->size(); ++i) {
        uint32_t id = (*ids)[i];
        if (strings_[id].view() == text) return id;
    }
    return std::nullopt;
}

uint32_t MutableInterner::intern(std::string_view text) {
    uint32_t fresh = static_cast<uint32_t>(strings_.size());
    // Make room first: once the lookup names the new id, strings_ must hold it.
    strings_.reserve(strings_.size() + 1);
    InternedStr str(text);
    auto [ids, created] = lookup_.find_or_create(hash_(text), text.size(), fresh);
    if (!created) {
        for (size_t i = 0; i < ids->size(); ++i) {
            if (strings_[(*ids)[i]].view() == text) return (*ids)[i];
        }
        ids->push(fresh);
    }
    strings_.push_back(std::move(str));
    return fresh;
}

ImmutableInterner MutableInterner::freeze() const {
    std::vector<InternedStr> strings;
    strings.reserve(strings_.size());
    strings.assign(strings_.begin(), strings_.end());
    return ImmutableInterner(hash_, std::move(strings), lookup_);
}

// ---- SnapshotGuards

namespace {

// Spreads threads over the slots so they rarely compete for the same one.
size_t slot_hint() {
    thread_local size_t hint = std::hash<std::thread::id>{}(std::this_thread::get_id());
    return hint;
}

}  // namespace

SnapshotGuards::~SnapshotGuards() {
    Block* b = head_.next.load(std::memory_order_acquire);
    while (b) {
        Block* next = b->next.load(std::memory_order_acquire);
        delete b;
        b = next;
    }
}

SnapshotGuards::Slot* SnapshotGuards::claim(const void* p) {
    size_t start = slot_hint() % SLOTS_PER_BLOCK;
    Block* block = &head_;
    for (;;) {
        for (size_t k = 0; k < SLOTS_PER_BLOCK; ++k) {
            Slot& slot = block->slots[(start + k) % SLOTS_PER_BLOCK];
            const void* expected = nullptr;
            // Relaxed pre-check keeps busy slots' cache lines shared.
            if (slot.ptr.load(std::memory_order_relaxed) == nullptr &&
                slot.ptr.compare_exchange_strong(expected, p, std::memory_order_seq_cst)) {
                return &slot;
            }
        }
        Block* next = block->next.load(std::memory_order_acquire);
        if (!next) {
            Block* fresh = new Block;
            if (block->next.compare_exchange_strong(next, fresh, std::memory_order_acq_rel)) {
                next = fresh;
            } else {
                delete fresh;  // another reader chained one first; next now names it
            }
        }
        block = next;
    }
}

bool SnapshotGuards::announces(const void* p) const noexcept {
    for (const Block* b = &head_; b; b = b->next.load(std::memory_order_acquire)) {
        for (const Slot& slot : b->slots) {
            if (slot.ptr.load(std::memory_order_seq_cst) == p) return true;
        }
    }
    return false;
}

// ---- StrInterner

StrInterner::StrInterner(TextHashFn hash) : current_(nullptr), mutable_(hash) {
    current_.store(new ImmutableInterner(mutable_.freeze()), std::memory_order_release);
}

StrInterner::~StrInterner() {
    delete current_.load(std::memory_order_acquire);
    for (const ImmutableInterner* old : retired_) delete old;
}

InternerSnapshot StrInterner::snapshot() const {
    const ImmutableInterner* p = current_.load(std::memory_order_seq_cst);
    SnapshotGuards::Slot* slot = guards_.claim(p);
    // The announcement protects p only if p was still current after it was
    // made: a writer deletes a replaced snapshot only when, after replacing
    // it, it finds no slot announcing it.
    for (;;) {
        const ImmutableInterner* now = current_.load(std::memory_order_seq_cst);
        if (now == p) break;
        p = now;
        slot->ptr.store(p, std::memory_order_seq_cst);
    }
    return InternerSnapshot(p, slot);
}

uint32_t StrInterner::intern(std::string_view text) {
    {
        InternerSnapshot snap = snapshot();
        if (auto id = snap->get(text)) return *id;
    }
    std::lock_guard<std::mutex> lock(write_mutex_);
    uint32_t id = mutable_.intern(text);
    // Another thread may have added the text since our lookup; it published
    // before unlocking, so only a text we added ourselves (or one left
    // unpublished by a failed publish) needs a new snapshot.
    if (current_.load(std::memory_order_relaxed)->size() != mutable_.size()) publish_locked();
    return id;
}

void StrInterner::publish_locked() {
    auto fresh = std::make_unique<ImmutableInterner>(mutable_.freeze());
    retired_.reserve(retired_.size() + 1);
    const ImmutableInterner* old = current_.exchange(fresh.release(), std::memory_order_seq_cst);
    retired_.push_back(old);
    reclaim_locked();
}

void StrInterner::reclaim_locked() {
    size_t kept = 0;
    for (const ImmutableInterner* old : retired_) {
        if (guards_.announces(old)) {
            retired_[kept++] = old;
        } else {
            delete old;
        }
    }
    retired_.resize(kept);
}

std::string StrInterner::resolve(uint32_t id) const {
    InternerSnapshot snap = snapshot();
    return std::string(snap->text(id));
}

size_t StrInterner::retired_count() const {
    std::lock_guard<std::mutex> lock(write_mutex_);
    return retired_.size();
}

StrInterner& INTERNER() {
    static StrInterner* interner = new StrInterner();
    return *interner;
}

}  // namespace tarnwick

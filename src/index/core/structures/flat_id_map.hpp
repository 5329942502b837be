// A hash map from 32-bit ids to values, stored in one flat array.
//
// The engine keeps a few maps with an entry per element id or per linked
// object (millions of entries in a large index). A node-based map spends an
// allocation and about forty bytes of bookkeeping per entry on those, and most
// of the time of a bulk insertion on allocating and rehashing nodes. Here the
// entries live in the slots of one array (open addressing, linear probing);
// removal shifts later entries of the probe run back instead of leaving
// markers behind, so lookups never slow down with churn.
//
// References to values stay valid until the next insertion or removal.
// Insertion either succeeds or leaves the map as it was (a failed growth
// throws std::bad_alloc before anything moves). Not thread-safe: the owner
// guards the map with its own lock.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <utility>
#include <vector>

namespace tarnwick {

template <class V>
class FlatIdMap {
    static_assert(std::is_nothrow_move_constructible_v<V> && std::is_nothrow_move_assignable_v<V>,
                  "values move while the table grows and shrinks, which must not fail half-way");

public:
    FlatIdMap() = default;
    FlatIdMap(FlatIdMap&& o) noexcept
        : slots_(std::move(o.slots_)), size_(std::exchange(o.size_, 0)), shift_(std::exchange(o.shift_, 64)) {}
    FlatIdMap& operator=(FlatIdMap&& o) noexcept {
        slots_ = std::move(o.slots_);
        size_ = std::exchange(o.size_, 0);
        shift_ = std::exchange(o.shift_, 64);
        return *this;
    }
    FlatIdMap(const FlatIdMap&) = default;
    FlatIdMap& operator=(const FlatIdMap&) = default;

    size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }

    const V* find(uint32_t key) const noexcept {
        if (size_ == 0) return nullptr;
        for (size_t i = home(key);; i = next(i)) {
            const Slot& s = slots_[i];
            if (!s.used) return nullptr;
            if (s.key == key) return &s.value;
        }
    }
    V* find(uint32_t key) noexcept { return const_cast<V*>(std::as_const(*this).find(key)); }
    bool contains(uint32_t key) const noexcept { return find(key) != nullptr; }

    // The value under key, default-constructed first if there was none; the
    // flag tells whether it was inserted.
    std::pair<V*, bool> try_emplace(uint32_t key) {
        if (V* v = find(key)) return {v, false};
        reserve(size_ + 1);
        size_t i = home(key);
        while (slots_[i].used) i = next(i);
        Slot& s = slots_[i];
        s.key = key;
        s.value = V();
        s.used = true;
        ++size_;
        return {&s.value, true};
    }
    V& operator[](uint32_t key) { return *try_emplace(key).first; }

    // Removes the entry of key; whether there was one.
    bool erase(uint32_t key) noexcept {
        if (size_ == 0) return false;
        size_t hole = home(key);
        for (;; hole = next(hole)) {
            if (!slots_[hole].used) return false;
            if (slots_[hole].key == key) break;
        }
        // Backward shift: move each later entry of the run into the hole
        // unless its home lies cyclically after the hole (it would then be
        // unreachable from its home).
        for (size_t i = next(hole);; i = next(i)) {
            Slot& s = slots_[i];
            if (!s.used) break;
            const size_t h = home(s.key);
            const bool stays = hole <= i ? (hole < h && h <= i) : (hole < h || h <= i);
            if (stays) continue;
            slots_[hole].key = s.key;
            slots_[hole].value = std::move(s.value);
            hole = i;
        }
        slots_[hole].used = false;
        slots_[hole].value = V();
        --size_;
        return true;
    }

    // Room for n entries without growing.
    void reserve(size_t n) {
        if (n <= capacity_limit(slots_.size())) return;
        size_t capacity = slots_.empty() ? 8 : slots_.size();
        while (n > capacity_limit(capacity)) capacity *= 2;
        rehash(capacity);
    }

    void clear() noexcept {
        std::vector<Slot>().swap(slots_);
        size_ = 0;
        shift_ = 64;
    }

    // fn(key, value) for every entry, in no particular order. fn must not
    // insert or remove entries.
    template <class F>
    void for_each(F&& fn) const {
        for (const Slot& s : slots_)
            if (s.used) fn(s.key, s.value);
    }
    template <class F>
    void for_each(F&& fn) {
        for (Slot& s : slots_)
            if (s.used) fn(s.key, s.value);
    }

private:
    struct Slot {
        uint32_t key = 0;
        bool used = false;
        V value{};
    };

    // Fibonacci hashing: the top bits of the product spread consecutive ids,
    // the common case, evenly over the table.
    size_t home(uint32_t key) const noexcept {
        return static_cast<size_t>((uint64_t(key) * 0x9E3779B97F4A7C15ull) >> shift_);
    }
    size_t next(size_t i) const noexcept { return (i + 1) & (slots_.size() - 1); }
    // At most 7/8 full, so probe runs stay short.
    static size_t capacity_limit(size_t capacity) noexcept { return capacity - capacity / 8; }

    void rehash(size_t capacity) {
        std::vector<Slot> grown(capacity);  // the only step that can fail
        std::swap(slots_, grown);
        shift_ = 64 - std::countr_zero(capacity);
        for (Slot& s : grown) {
            if (!s.used) continue;
            size_t i = home(s.key);
            while (slots_[i].used) i = next(i);
            slots_[i].key = s.key;
            slots_[i].value = std::move(s.value);
            slots_[i].used = true;
        }
    }

    std::vector<Slot> slots_;
    size_t size_ = 0;
    int shift_ = 64;
};

}  // namespace tarnwick

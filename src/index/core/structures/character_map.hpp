// The ids recorded at one byte position of the string index.
//
// A position keeps a set only for the keys that hold ids: byte values 0..255,
// plus the start mark (strings whose first byte is here) and the end mark
// (strings whose last byte is here). Most positions of a long string hold a
// single id under a single byte, so a set starts as a HybridSet's inline
// array and an unused position costs one empty vector.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "index/core/structures/bitmap.hpp"
#include "index/core/structures/hybrid_set.hpp"

namespace tarnwick {

class CharacterMap {
public:
    static constexpr uint16_t start_key = 256;
    static constexpr uint16_t end_key = 257;
    // Bytes, start mark, end mark.
    static constexpr size_t key_count = 258;

    // Null when no id is recorded under the key.
    const HybridSet* find(uint16_t key) const noexcept;
    const HybridSet* byte(uint8_t b) const noexcept { return find(b); }
    const HybridSet* start_mark() const noexcept { return find(start_key); }
    const HybridSet* end_mark() const noexcept { return find(end_key); }

    void add(uint16_t key, uint32_t id);
    // `ids` in any order; duplicates allowed.
    void add_many(uint16_t key, std::span<const uint32_t> ids);
    void remove(uint16_t key, uint32_t id);
    void retain(const Bitmap& keep);
    // Unions every set of the other position into this one.
    void merge(const CharacterMap& other);

    bool empty() const noexcept { return entries_.empty(); }
    // Number of keys holding ids.
    size_t set_count() const noexcept { return entries_.size(); }
    // Heap bytes held beyond sizeof(CharacterMap); roaring storage estimated.
    size_t memory_bytes() const noexcept;

    // Calls f(key, set) for every key holding ids, in ascending key order.
    template <class F>
    void for_each(F&& f) const {
        for (const Entry& e : entries_) f(e.key, e.ids);
    }

private:
    struct Entry {
        uint16_t key;
        HybridSet ids;
    };

    std::vector<Entry>::iterator lower_bound(uint16_t key) noexcept;
    std::vector<Entry>::const_iterator lower_bound(uint16_t key) const noexcept;
    HybridSet& slot(uint16_t key);
    void release_if_empty() noexcept;

    // Sorted by key; a set that runs dry is dropped.
    std::vector<Entry> entries_;
};

}  // namespace tarnwick

// Ordered index of the numeric values of one attribute.
//
// Integers and floats share one 76-bit order key whose unsigned order is the
// numeric order. For every key bit the index keeps the ids whose key has a 0
// there and the ids whose key has a 1 there, so equality and range tests cost a
// fixed number of bitmap operations however many distinct values exist. While
// the distinct keys are few, a set of ids per key (ValueSets) answers equality
// in one fetch instead.
//
// The structure has no lock of its own: the owner guards it with a
// reader-writer lock (comparisons under the read lock, everything that changes
// it under the write lock). Readers consult only the roaring bitmaps, so a
// writer that buffers must flush() before releasing its lock.
#pragma once

#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "index/core/structures/bitmap.hpp"
#include "index/core/structures/buffered_bitmap.hpp"
#include "index/core/structures/value_sets.hpp"

namespace tarnwick {

// Bits 0..63 are the mantissa, bits 64..75 the 12-bit header. Keys order by
// header, then mantissa, both unsigned.
struct OrderKey {
    static constexpr int bits = 76;

    uint64_t mantissa = 0;
    uint16_t header = 0;

    // Bit c of the key, c in 0..75.
    unsigned bit(int c) const noexcept {
        return c < 64 ? unsigned(mantissa >> c) & 1u : unsigned(header >> (c - 64)) & 1u;
    }

    // The key as four words: mantissa low, mantissa high, header, 0.
    std::array<uint32_t, 4> to_words() const noexcept {
        return {uint32_t(mantissa), uint32_t(mantissa >> 32), uint32_t(header), 0};
    }
    static OrderKey from_words(const std::array<uint32_t, 4>& w) noexcept {
        return {uint64_t(w[0]) | (uint64_t(w[1]) << 32), uint16_t(w[2] & 0xFFF)};
    }

    friend bool operator==(const OrderKey&, const OrderKey&) = default;
    friend std::strong_ordering operator<=>(const OrderKey& a, const OrderKey& b) noexcept {
        if (auto h = a.header <=> b.header; h != 0) return h;
        return a.mantissa <=> b.mantissa;
    }
};

// Integers are keyed by their full 64-bit magnitude, never rounded through a
// double, so an integer and a float of equal value get the same key.
OrderKey order_key_int(int64_t v) noexcept;
// Zero of either sign shares the key of the integer 0. Subnormals sit between
// zero and the smallest normal number of their sign; NaNs sort beyond the
// infinity of their sign.
OrderKey order_key_float(double d) noexcept;

struct OrderKeyHash {
    size_t operator()(const OrderKey& k) const noexcept {
        return size_t((k.mantissa ^ (uint64_t(k.header) << 52) ^ (k.mantissa >> 29)) * 0x9E3779B97F4A7C15ull);
    }
};

class NumericalBitmap {
public:
    static constexpr uint32_t buffer_capacity = 64;
    using Element = BufferedBitmap<buffer_capacity>;
    // Element 0: ids whose key bit is 0; element 1: ids whose key bit is 1.
    using Slice = std::array<Element, 2>;

    NumericalBitmap() = default;
    NumericalBitmap(NumericalBitmap&&) = default;
    NumericalBitmap& operator=(NumericalBitmap&&) = default;

    struct Entry {
        OrderKey key;
        uint32_t id;
    };

    void insert(const OrderKey& key, uint32_t id);
    void insert_buffered(const OrderKey& key, uint32_t id);
    // The same as insert() of every entry, but each slice is written once
    // for the whole batch: where every key of the batch has the same bit, its
    // ids go in as one union; elsewhere they are split by the bit and added
    // in one call per half. Ids ascending make those calls appends.
    void insert_many(std::span<const Entry> entries);
    void remove(const OrderKey& key, uint32_t id);
    // The same as remove(old_key, id) then insert(key, id) for an id that
    // holds old_key, but only the slices where the two keys differ change.
    // Run again with the keys swapped, it undoes a replacement that failed
    // part way.
    void replace(const OrderKey& old_key, const OrderKey& key, uint32_t id);
    // Slice 0 to 75, element 0 then element 1.
    void flush();

    // Ids whose key equals `key`.
    Bitmap eq(const OrderKey& key) const;
    // The ids of `within` (any ids) whose key equals `key`: the cost follows
    // the candidates, not the ids of the structure.
    Bitmap eq_within(const OrderKey& key, const Bitmap& within) const;
    // An upper bound of the number of ids whose key equals `key` (exact
    // while the values are few), from stored cardinalities only.
    uint64_t eq_estimate(const OrderKey& key) const;

    // Each adds to `out` (which keeps its members) the ids of `base` whose key
    // compares as named with `key`.
    void get_gt_into_base(const OrderKey& key, Bitmap& out, const Bitmap& base) const;
    void get_gte_into_base(const OrderKey& key, Bitmap& out, const Bitmap& base) const;
    void get_lt_into_base(const OrderKey& key, Bitmap& out, const Bitmap& base) const;
    void get_lte_into_base(const OrderKey& key, Bitmap& out, const Bitmap& base) const;

    // Adds to `out` the ids of `base` whose key lies in [low, high].
    void get_between_into_base(const OrderKey& low, const OrderKey& high, Bitmap& out, const Bitmap& base) const;
    // The key `id` holds, read bit by bit from the slices (the cost of one
    // membership test per slice, whatever the size); nothing when it holds
    // none. The caller sees no buffered ids (a reader).
    std::optional<OrderKey> key_of(uint32_t id) const;
    // Whether `id` holds `key`: the same reads from the lowest bit up,
    // stopping at the first that differs (for nearby values, soon).
    bool holds_key(uint32_t id, const OrderKey& key) const;
    // Whether some id holds a key with this 12-bit header.
    bool holds_header(uint16_t header) const;

    // Keeps only the ids of `keep`, in all 152 bitmaps.
    void retain(const Bitmap& keep);
    // Unions the other index into this one, slice by slice. The other index
    // must have no buffered ids (it is read under its owner's read lock).
    void merge_from(const NumericalBitmap& other);

    // Ids waiting in write buffers, over all 152 bitmaps.
    size_t buffered_count() const noexcept;
    using Slices = std::array<Slice, OrderKey::bits>;
    // All empty until the first number goes in (then a shared empty set).
    const Slices& slices() const noexcept { return slices_ ? *slices_ : no_slices(); }

    // Up to this many candidates per 2^16-id chunk the structure spans, a
    // comparison tests each candidate's key bits by itself instead of
    // narrowing the candidates slice by slice: every slice step costs a pass
    // over the chunks and a new bitmap, while a candidate is decided after a
    // few bits as a rule.
    static constexpr uint64_t few_per_chunk = 24;

private:
    struct Bound {
        OrderKey key;
        bool inclusive;
    };
    // Whether `base` is few enough candidates for select_each().
    bool few_candidates(const Bitmap& base) const;
    // Adds to `out` the ids of `base` whose key lies above `low` and below
    // `high` (a null bound: no limit on that side), reading each id's bits
    // from the top down and stopping as soon as both bounds are decided.
    void select_each(const Bound* low, const Bound* high, Bitmap& out, const Bitmap& base) const;
    // Adds to `out` the ids of `base` above (`greater`) or below the key;
    // with `inclusive`, also the ids equal to it.
    void compare_into_base(const OrderKey& key, Bitmap& out, const Bitmap& base, bool greater,
                           bool inclusive) const;
    // Walks slices `top` down to 0 over `agreeing`, ids of the structure
    // that agree with `key` above `top`: moves to `decided` (as disjoint
    // parts) those that differ first where the key has `deciding_bit`, drops
    // those that differ first elsewhere, and leaves in `agreeing` the ids
    // equal to the key.
    void descend(const OrderKey& key, int top, Bitmap& agreeing, std::vector<Bitmap>& decided,
                 unsigned deciding_bit) const;

    static const std::array<Slice, OrderKey::bits>& no_slices() noexcept;
    // The slices, made on first write.
    std::array<Slice, OrderKey::bits>& made_slices();

    // Made on first write: every attribute's map has a number index, and the
    // 152 buffered bitmaps (~41 KB) would be most of what a small index or
    // an attribute that holds no numbers costs.
    std::unique_ptr<std::array<Slice, OrderKey::bits>> slices_;
    // Key -> ids while the distinct keys are few: equality in one fetch.
    ValueSets<OrderKey, OrderKeyHash, buffer_capacity> values_;
};

using CompareIntoBaseFn = void (*)(const NumericalBitmap&, const OrderKey&, Bitmap& out,
                                   const Bitmap& base);

// Process-wide comparison entry points used by the match operators; each is
// set once, on first use, safely against concurrent first use.
CompareIntoBaseFn GET_GT_FN();
CompareIntoBaseFn GET_GTE_FN();
CompareIntoBaseFn GET_LT_FN();
CompareIntoBaseFn GET_LTE_FN();

}  // namespace tarnwick

// Ordered indexes of the date, time and duration values of one attribute.
//
// Each temporal kind gets a NumericalBitmap of its own, made on the first
// value of that kind, so that kinds never meet each other or the numbers: a
// range over dates reads only the date index. A value is keyed by a whole
// count of days and the microseconds within that day, laid out as one
// unsigned 76-bit order key (days biased to be non-negative, times 86,400 *
// 10^6, plus the microseconds), whose order is the order of the values.
//
// Like NumericalBitmap it has no lock of its own: the owner guards it with a
// reader-writer lock, and readers consult only the roaring bitmaps.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "index/core/structures/bitmap.hpp"
#include "index/core/structures/numerical_bitmap.hpp"

namespace tarnwick {

// The order key of `days` whole days plus `micros` (0 <= micros < 86,400 *
// 10^6); days must lie within +-2^32.
OrderKey order_key_days_micros(int64_t days, int64_t micros) noexcept;

class TemporalBitmaps {
public:
    static constexpr size_t kinds = 6;

    // The index of kind `kind` (< kinds), or null while it holds no value.
    const NumericalBitmap* find(size_t kind) const noexcept { return by_kind_[kind].get(); }
    NumericalBitmap* find_mutable(size_t kind) noexcept { return by_kind_[kind].get(); }
    NumericalBitmap& get_or_create(size_t kind);

    // Keeps only the ids of `keep`.
    void retain(const Bitmap& keep);
    // Takes out the ids of `removed`, where held.
    void drop(const Bitmap& removed);
    // Unions the other indexes into these, kind by kind; `other` must have no
    // buffered ids.
    void merge_from(const TemporalBitmaps& other);
    bool empty() const noexcept;

private:
    std::array<std::unique_ptr<NumericalBitmap>, kinds> by_kind_;
};

}  // namespace tarnwick

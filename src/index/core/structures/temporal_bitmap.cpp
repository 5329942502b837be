#include "index/core/structures/temporal_bitmap.hpp"

#include "index/core/structures/alloc_fault.hpp"

namespace tarnwick {
namespace {

constexpr uint64_t MICROS_PER_DAY = 86'400'000'000;
constexpr int64_t DAY_BIAS = int64_t(1) << 32;

struct Wide {
    uint64_t low;
    uint64_t high;
};

// a * b in 128 bits, from 32-bit halves (no 128-bit integer type on 32-bit
// targets).
Wide multiply(uint64_t a, uint64_t b) noexcept {
    const uint64_t a0 = uint32_t(a), a1 = a >> 32, b0 = uint32_t(b), b1 = b >> 32;
    const uint64_t p00 = a0 * b0, p01 = a0 * b1, p10 = a1 * b0, p11 = a1 * b1;
    const uint64_t middle = (p00 >> 32) + uint32_t(p01) + uint32_t(p10);
    return {(middle << 32) | uint32_t(p00), p11 + (p01 >> 32) + (p10 >> 32) + (middle >> 32)};
}

// Where every id of an index is: each has its key's lowest bit in one half of
// slice 0.
Bitmap present_ids(const NumericalBitmap& n) {
    const auto& lowest = n.slices()[0];
    return lowest[0].bitmap() | lowest[1].bitmap();
}

}  // namespace

OrderKey order_key_days_micros(int64_t days, int64_t micros) noexcept {
    Wide key = multiply(uint64_t(days + DAY_BIAS), MICROS_PER_DAY);
    const uint64_t low = key.low + uint64_t(micros);
    key.high += low < key.low;
    return OrderKey{low, uint16_t(key.high & 0xFFF)};
}

NumericalBitmap& TemporalBitmaps::get_or_create(size_t kind) {
    std::unique_ptr<NumericalBitmap>& slot = by_kind_[kind];
    if (!slot) {
        alloc_point();
        slot = std::make_unique<NumericalBitmap>();
    }
    return *slot;
}

void TemporalBitmaps::retain(const Bitmap& keep) {
    for (auto& n : by_kind_)
        if (n) n->retain(keep);
}

void TemporalBitmaps::drop(const Bitmap& removed) {
    for (auto& n : by_kind_) {
        if (!n) continue;
        Bitmap present = present_ids(*n);
        if (present.intersects(removed)) n->retain(present - removed);
    }
}

void TemporalBitmaps::merge_from(const TemporalBitmaps& other) {
    for (size_t k = 0; k < kinds; ++k)
        if (other.by_kind_[k]) get_or_create(k).merge_from(*other.by_kind_[k]);
}

bool TemporalBitmaps::empty() const noexcept {
    for (const auto& n : by_kind_)
        if (n && !present_ids(*n).empty()) return false;
    return true;
}

}  // namespace tarnwick

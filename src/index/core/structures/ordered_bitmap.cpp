#include "index/core/structures/ordered_bitmap.hpp"

#include <bit>
#include <stdexcept>

namespace tarnwick {

namespace {

constexpr uint16_t header_mask = 0xFFF;
constexpr uint16_t zero_header = 0x800;
constexpr uint64_t explicit_one = uint64_t(1) << 63;

// Negative numbers take the complement of the whole key, so a larger magnitude
// sorts lower; positive ones get the top header bit, which puts them above zero.
OrderKey signed_key(bool negative, uint16_t exponent, uint64_t mantissa) noexcept {
    const uint16_t h = uint16_t(exponent | (uint16_t(negative) << 11));
    if (negative) return {~mantissa, uint16_t(~h & header_mask)};
    return {mantissa, uint16_t((h | zero_header) & header_mask)};
}

struct ScratchBitmap {
    Bitmap bitmap;
    bool taken = false;
};

// Reused by every comparison on this thread, so a comparison allocates only its
// working candidate set.
thread_local ScratchBitmap TMP_BITMAP;

class ScratchLease {
public:
    ScratchLease() : s_(TMP_BITMAP) {
        if (s_.taken) throw std::logic_error("numeric comparisons must not nest on one thread");
        s_.taken = true;
    }
    ~ScratchLease() {
        s_.bitmap.clear();
        s_.taken = false;
    }
    ScratchLease(const ScratchLease&) = delete;
    ScratchLease& operator=(const ScratchLease&) = delete;

    Bitmap& bitmap() noexcept { return s_.bitmap; }

private:
    ScratchBitmap& s_;
};

}  // namespace

OrderKey order_key_int(int64_t v) noexcept {
    if (v == 0) return {0, zero_header};
    const bool negative = v < 0;
    // Unsigned negation, so that the most negative value yields 2^63.
    const uint64_t a = negative ? uint64_t(0) - uint64_t(v) : uint64_t(v);
    const int z = std::countl_zero(a);
    return signed_key(negative, uint16_t(1086 - z), a << z);
}

OrderKey order_key_float(double d) noexcept {
    const uint64_t bits = std::bit_cast<uint64_t>(d);
    const bool negative = (bits >> 63) != 0;
    const uint16_t e = uint16_t((bits >> 52) & 0x7FF);
    const uint64_t f = bits & ((uint64_t(1) << 52) - 1);
    if (e == 0 && f == 0) return {0, zero_header};
    // A subnormal has no implicit one; exponent 0 with the fraction in place
    // keeps it above zero and below exponent 1, the smallest normal numbers.
    if (e == 0) return signed_key(negative, 0, f << 11);
    return signed_key(negative, e, explicit_one | (f << 11));
}

void NumericalBitmap::insert(const OrderKey& key, uint32_t id) {
    for (int c = 0; c < OrderKey::bits; ++c) slices_[c][key.bit(c)].bitmap().add(id);
}

void NumericalBitmap::insert_buffered(const OrderKey& key, uint32_t id) {
    for (int c = 0; c < OrderKey::bits; ++c) slices_[c][key.bit(c)].add_buffered(id);
}

void NumericalBitmap::remove(const OrderKey& key, uint32_t id) {
    for (int c = 0; c < OrderKey::bits; ++c) {
        Element& el = slices_[c][key.bit(c)];
        el.flush();  // a buffered copy of the id would otherwise survive
        el.bitmap().remove(id);
    }
}

void NumericalBitmap::flush() {
    for (Slice& slice : slices_) {
        slice[0].flush();
        slice[1].flush();
    }
}

Bitmap NumericalBitmap::eq(const OrderKey& key) const {
    Bitmap out = slices_[0][key.bit(0)].bitmap().clone();
    for (int c = 1; c < OrderKey::bits && !out.empty(); ++c) out &= slices_[c][key.bit(c)].bitmap();
    return out;
}

void NumericalBitmap::compare_into_base(const OrderKey& key, Bitmap& out, const Bitmap& base,
                                        bool greater, bool inclusive) const {
    ScratchLease lease;
    Bitmap& scratch = lease.bitmap();
    // Candidates whose key agrees with the query key on every bit seen so far.
    Bitmap agreeing = base.clone();
    // Going down from the top bit: where the key has the bit that loses
    // (0 for "greater", 1 for "less"), the agreeing candidates with the other
    // bit are decided.
    const unsigned deciding_bit = greater ? 0u : 1u;
    for (int c = OrderKey::bits - 1; c >= 0 && !agreeing.empty(); --c) {
        const unsigned q = key.bit(c);
        if (q == deciding_bit) {
            scratch.overwrite(agreeing);
            scratch &= slices_[c][1 - q].bitmap();
            out |= scratch;
        }
        agreeing &= slices_[c][q].bitmap();
    }
    if (inclusive) out |= agreeing;
}

void NumericalBitmap::get_gt_into_base(const OrderKey& key, Bitmap& out, const Bitmap& base) const {
    compare_into_base(key, out, base, true, false);
}

void NumericalBitmap::get_gte_into_base(const OrderKey& key, Bitmap& out, const Bitmap& base) const {
    compare_into_base(key, out, base, true, true);
}

void NumericalBitmap::get_lt_into_base(const OrderKey& key, Bitmap& out, const Bitmap& base) const {
    compare_into_base(key, out, base, false, false);
}

void NumericalBitmap::get_lte_into_base(const OrderKey& key, Bitmap& out, const Bitmap& base) const {
    compare_into_base(key, out, base, false, true);
}

void NumericalBitmap::retain(const Bitmap& keep) {
    for (Slice& slice : slices_) {
        for (Element& el : slice) {
            el.flush();
            el.bitmap() &= keep;
        }
    }
}

void NumericalBitmap::merge_from(const NumericalBitmap& other) {
    if (&other == this) return;
    for (int c = 0; c < OrderKey::bits; ++c) {
        for (int b = 0; b < 2; ++b) {
            slices_[c][b].flush();
            slices_[c][b].bitmap() |= other.slices_[c][b].bitmap();
        }
    }
}

size_t NumericalBitmap::buffered_count() const noexcept {
    size_t n = 0;
    for (const Slice& slice : slices_) n += slice[0].buffered() + slice[1].buffered();
    return n;
}

CompareIntoBaseFn GET_GT_FN() {
    static const CompareIntoBaseFn fn = [](const NumericalBitmap& n, const OrderKey& k, Bitmap& out,
                                           const Bitmap& base) { n.get_gt_into_base(k, out, base); };
    return fn;
}

CompareIntoBaseFn GET_GTE_FN() {
    static const CompareIntoBaseFn fn = [](const NumericalBitmap& n, const OrderKey& k, Bitmap& out,
                                           const Bitmap& base) { n.get_gte_into_base(k, out, base); };
    return fn;
}

CompareIntoBaseFn GET_LT_FN() {
    static const CompareIntoBaseFn fn = [](const NumericalBitmap& n, const OrderKey& k, Bitmap& out,
                                           const Bitmap& base) { n.get_lt_into_base(k, out, base); };
    return fn;
}

CompareIntoBaseFn GET_LTE_FN() {
    static const CompareIntoBaseFn fn = [](const NumericalBitmap& n, const OrderKey& k, Bitmap& out,
                                           const Bitmap& base) { n.get_lte_into_base(k, out, base); };
    return fn;
}

}  // namespace tarnwick

#include "index/core/structures/numerical_bitmap.hpp"

#include <algorithm>
#include <bit>
#include <limits>
#include <optional>
#include <vector>

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

const NumericalBitmap::Slices& NumericalBitmap::no_slices() noexcept {
    static const Slices none;
    return none;
}

NumericalBitmap::Slices& NumericalBitmap::made_slices() {
    if (!slices_) slices_ = std::make_unique<Slices>();
    return *slices_;
}

void NumericalBitmap::insert(const OrderKey& key, uint32_t id) {
    Slices& key_slices = made_slices();
    values_.insert(key, id);
    for (int c = 0; c < OrderKey::bits; ++c) key_slices[c][key.bit(c)].bitmap().add(id);
}

void NumericalBitmap::insert_buffered(const OrderKey& key, uint32_t id) {
    Slices& key_slices = made_slices();
    values_.insert_buffered(key, id);
    for (int c = 0; c < OrderKey::bits; ++c) key_slices[c][key.bit(c)].add_buffered(id);
}

void NumericalBitmap::insert_many(std::span<const Entry> entries) {
    if (entries.empty()) return;
    Slices& key_slices = made_slices();
    values_.insert_many(entries, [](const Entry& e) -> const OrderKey& { return e.key; },
                        [](const Entry& e) { return e.id; });
    // Chunks small enough that the columns below stay in cache across the
    // 76 passes over them.
    constexpr size_t chunk = size_t(1) << 14;
    std::vector<uint64_t> mantissas;
    std::vector<uint16_t> headers;
    std::vector<uint32_t> ids, halves[2];
    for (size_t begin = 0; begin < entries.size(); begin += chunk) {
        const std::span<const Entry> part = entries.subspan(begin, std::min(chunk, entries.size() - begin));
        const size_t n = part.size();
        mantissas.resize(n);
        headers.resize(n);
        ids.resize(n);
        uint64_t m_any = 0, m_all = ~uint64_t(0);
        uint16_t h_any = 0, h_all = 0xFFFF;
        for (size_t i = 0; i < n; ++i) {
            mantissas[i] = part[i].key.mantissa;
            headers[i] = part[i].key.header;
            ids[i] = part[i].id;
            m_any |= mantissas[i];
            m_all &= mantissas[i];
            h_any = uint16_t(h_any | headers[i]);
            h_all = uint16_t(h_all & headers[i]);
        }
        // Most slices hold the same bit for the whole chunk (small integers,
        // floats of few mantissa bits): those take every id as one bitmap.
        std::optional<Bitmap> every;
        halves[0].resize(n);
        halves[1].resize(n);
        for (int c = 0; c < OrderKey::bits; ++c) {
            const unsigned any = c < 64 ? unsigned(m_any >> c) & 1u : unsigned(h_any >> (c - 64)) & 1u;
            const unsigned all = c < 64 ? unsigned(m_all >> c) & 1u : unsigned(h_all >> (c - 64)) & 1u;
            if (any == all) {
                if (!every) {
                    every.emplace();
                    every->add_many(ids);
                }
                Bitmap& into = key_slices[c][any].bitmap();
                alloc_point();
                into |= *every;
                continue;
            }
            size_t count[2] = {0, 0};
            if (c < 64) {
                for (size_t i = 0; i < n; ++i) {
                    const unsigned b = unsigned(mantissas[i] >> c) & 1u;
                    halves[b][count[b]++] = ids[i];
                }
            } else {
                for (size_t i = 0; i < n; ++i) {
                    const unsigned b = unsigned(headers[i] >> (c - 64)) & 1u;
                    halves[b][count[b]++] = ids[i];
                }
            }
            key_slices[c][0].bitmap().add_many(halves[0].data(), count[0]);
            key_slices[c][1].bitmap().add_many(halves[1].data(), count[1]);
        }
    }
}

void NumericalBitmap::replace(const OrderKey& old_key, const OrderKey& key, uint32_t id) {
    Slices& key_slices = made_slices();
    if (old_key == key) return;
    values_.remove(old_key, id);
    values_.insert(key, id);
    for (int c = 0; c < OrderKey::bits; ++c) {
        const unsigned from = old_key.bit(c), to = key.bit(c);
        if (from == to) continue;
        key_slices[c][to].bitmap().add(id);
        Element& el = key_slices[c][from];
        el.flush();  // a buffered copy of the id would otherwise survive
        el.bitmap().remove(id);
    }
}

void NumericalBitmap::remove(const OrderKey& key, uint32_t id) {
    values_.remove(key, id);
    if (!slices_) return;
    Slices& key_slices = *slices_;
    for (int c = 0; c < OrderKey::bits; ++c) {
        Element& el = key_slices[c][key.bit(c)];
        el.flush();  // a buffered copy of the id would otherwise survive
        el.bitmap().remove(id);
    }
}

void NumericalBitmap::flush() {
    values_.flush();
    if (!slices_) return;
    Slices& key_slices = *slices_;
    for (Slice& slice : key_slices) {
        slice[0].flush();
        slice[1].flush();
    }
}

namespace {

// Whether the ids lie mostly in dense (bitset) containers, by their average
// count per 2^16-id chunk of the span they cover.
bool dense(uint64_t count, const Bitmap& ids) {
    if (count == 0) return false;
    const uint64_t chunks = (uint64_t(ids.maximum()) >> 16) - (uint64_t(ids.minimum()) >> 16) + 1;
    return count >= chunks * 4096;
}

// Which polarity of a slice narrows `ids` cheaper. Every id of the structure
// is in exactly one polarity of every slice, so within a set of such ids
// keeping those with the key's bit equals dropping those with the other bit.
// Sparse candidates are probed against a dense operand in time linear in the
// candidates; dense candidates are best met by the smaller operand.
bool use_same(const Bitmap& ids, const Bitmap& same, const Bitmap& other) {
    const uint64_t n_same = same.cardinality(), n_other = other.cardinality();
    const bool same_smaller = n_same <= n_other;
    if (!dense(ids.cardinality(), ids)) {
        const Bitmap& larger = same_smaller ? other : same;
        if (dense(same_smaller ? n_other : n_same, larger)) return !same_smaller;
    }
    return same_smaller;
}

void keep_polarity(Bitmap& ids, const Bitmap& same, const Bitmap& other) {
    if (use_same(ids, same, other)) ids &= same;
    else ids -= other;
}

}  // namespace

namespace {

struct Step {
    const Bitmap* same;
    const Bitmap* other;
    uint64_t same_count;
};
using Steps = std::array<Step, OrderKey::bits>;

// The slices that tell ids with `key` from others, the most selective first.
// Real data leaves most key bits constant (small integers, floats whose low
// mantissa bits are zero): a slice whose other polarity is empty cannot
// remove any id of the structure, so only the varying slices take part.
// Nothing (no id can hold the key) when a slice has no id with its bit.
std::optional<size_t> varying_steps(const std::array<NumericalBitmap::Slice, OrderKey::bits>& slices,
                                    const OrderKey& key, Steps& steps) {
    size_t n = 0;
    for (int c = 0; c < OrderKey::bits; ++c) {
        const unsigned q = key.bit(c);
        const Bitmap& same = slices[c][q].bitmap();
        const Bitmap& other = slices[c][1 - q].bitmap();
        if (same.empty()) return std::nullopt;
        if (other.empty()) continue;
        steps[n++] = {&same, &other, same.cardinality()};
    }
    std::sort(steps.begin(), steps.begin() + n,
              [](const Step& a, const Step& b) { return a.same_count < b.same_count; });
    return n;
}

}  // namespace

Bitmap NumericalBitmap::eq(const OrderKey& key) const {
    const Slices& key_slices = slices();
    if (values_.active()) {
        const Bitmap* ids = values_.find(key);
        return ids ? ids->clone() : Bitmap();
    }
    Steps steps;
    const std::optional<size_t> varying = varying_steps(key_slices, key, steps);
    if (!varying) return Bitmap();
    const size_t n = *varying;
    // No slice varies: every id holds this very key.
    if (n == 0) return key_slices[0][key.bit(0)].bitmap().clone();
    if (n == 1) return steps[0].same->clone();
    // The first operand lies inside the structure, so from here on dropping
    // the other polarity may stand in for keeping this one.
    Bitmap out = steps[1].same_count <= steps[1].other->cardinality() ? *steps[0].same & *steps[1].same
                                                                      : *steps[0].same - *steps[1].other;
    for (size_t i = 2; i < n && !out.empty(); ++i) keep_polarity(out, *steps[i].same, *steps[i].other);
    return out;
}

Bitmap NumericalBitmap::eq_within(const OrderKey& key, const Bitmap& within) const {
    const Slices& key_slices = slices();
    if (values_.active()) {
        const Bitmap* ids = values_.find(key);
        return ids ? *ids & within : Bitmap();
    }
    Steps steps;
    const std::optional<size_t> varying = varying_steps(key_slices, key, steps);
    if (!varying) return Bitmap();
    const size_t n = *varying;
    // `within` may hold ids without a number: the first step keeps only ids
    // of the structure, after which either polarity may narrow.
    Bitmap out = within & (n == 0 ? key_slices[0][key.bit(0)].bitmap() : *steps[0].same);
    for (size_t i = 1; i < n && !out.empty(); ++i) keep_polarity(out, *steps[i].same, *steps[i].other);
    return out;
}

uint64_t NumericalBitmap::eq_estimate(const OrderKey& key) const {
    const Slices& key_slices = slices();
    if (values_.active()) {
        const Bitmap* ids = values_.find(key);
        return ids ? ids->cardinality() : 0;
    }
    uint64_t bound = std::numeric_limits<uint64_t>::max();
    for (int c = 0; c < OrderKey::bits; ++c) bound = std::min(bound, key_slices[c][key.bit(c)].bitmap().cardinality());
    return bound;
}

void NumericalBitmap::descend(const OrderKey& key, int top, Bitmap& agreeing, std::vector<Bitmap>& decided,
                              unsigned deciding_bit) const {
    const Slices& key_slices = slices();
    for (int c = top; c >= 0; --c) {
        const unsigned q = key.bit(c);
        const Bitmap& same = key_slices[c][q].bitmap();
        const Bitmap& other = key_slices[c][1 - q].bitmap();
        // Every candidate has bit q here: nothing is decided or dropped.
        if (other.empty()) continue;
        if (same.empty()) {
            // Every candidate has the other bit: all are decided at once.
            if (q == deciding_bit) decided.push_back(std::move(agreeing));
            agreeing = Bitmap();
            return;
        }
        if (q == deciding_bit) {
            // Both halves straight from the slice: probing the candidates
            // against a polarity is cheaper than subtracting one half.
            const bool by_same = use_same(agreeing, same, other);
            Bitmap lost = by_same ? agreeing - same : agreeing & other;
            if (!lost.empty()) {
                if (by_same) agreeing &= same;
                else agreeing -= other;
                decided.push_back(std::move(lost));
            }
        } else {
            keep_polarity(agreeing, same, other);
        }
        if (agreeing.empty()) return;
    }
}

namespace {

// Adds the decided parts to out at once: they are many and mostly small, and
// one union of all of them beats growing out part by part.
void add_parts(Bitmap& out, std::vector<Bitmap>& parts) {
    if (parts.empty()) return;
    std::vector<const Bitmap*> all;
    all.reserve(parts.size() + 1);
    all.push_back(&out);
    for (const Bitmap& p : parts) all.push_back(&p);
    out = Bitmap::union_of(all);
}

}  // namespace

bool NumericalBitmap::few_candidates(const Bitmap& base) const {
    const Slices& key_slices = slices();
    const Bitmap& any = key_slices[0][0].bitmap().empty() ? key_slices[0][1].bitmap() : key_slices[0][0].bitmap();
    if (any.empty() || base.empty()) return false;
    const uint64_t chunks = (uint64_t(any.maximum()) >> 16) - (uint64_t(any.minimum()) >> 16) + 1;
    return base.cardinality() <= few_per_chunk * chunks;
}

void NumericalBitmap::select_each(const Bound* low, const Bound* high, Bitmap& out, const Bitmap& base) const {
    const Slices& key_slices = slices();
    // Where every id of the structure has the same bit the slice needs no
    // probe: `fixed` is that bit, or -1 where the bit varies.
    struct Level {
        const Bitmap* ones;
        int fixed;
    };
    std::array<Level, OrderKey::bits> levels;
    int top_varying = -1;
    for (int c = OrderKey::bits - 1; c >= 0; --c) {
        const Bitmap& zeros = key_slices[c][0].bitmap();
        const Bitmap& ones = key_slices[c][1].bitmap();
        if (zeros.empty() && ones.empty()) return;  // no id holds a number
        levels[c] = {&ones, zeros.empty() ? 1 : ones.empty() ? 0 : -1};
        if (levels[c].fixed < 0 && top_varying < 0) top_varying = c;
    }
    std::vector<uint32_t> hits;
    base.for_each([&](uint32_t id) {
        // Whether the id holds a number at all: it is in one half of every
        // slice. The probe of the top varying slice is kept for the walk.
        int top_bit = -1;
        if (top_varying >= 0) {
            if (levels[top_varying].ones->contains(id)) top_bit = 1;
            else if (key_slices[top_varying][0].bitmap().contains(id)) top_bit = 0;
            else return;
        } else if (!key_slices[0][levels[0].fixed].bitmap().contains(id)) {
            return;
        }
        // A bound stays open while the key agrees with it bit for bit.
        bool low_open = low != nullptr, high_open = high != nullptr;
        for (int c = OrderKey::bits - 1; c >= 0 && (low_open || high_open); --c) {
            const Level& level = levels[c];
            const unsigned bit = level.fixed >= 0 ? unsigned(level.fixed)
                                 : c == top_varying ? unsigned(top_bit)
                                                    : unsigned(level.ones->contains(id));
            if (low_open && bit != low->key.bit(c)) {
                if (bit < low->key.bit(c)) return;  // below the low bound
                low_open = false;
            }
            if (high_open && bit != high->key.bit(c)) {
                if (bit > high->key.bit(c)) return;  // above the high bound
                high_open = false;
            }
        }
        // A bound still open is equal to the key.
        if ((low_open && !low->inclusive) || (high_open && !high->inclusive)) return;
        hits.push_back(id);
    });
    out.add_many(hits);
}

void NumericalBitmap::compare_into_base(const OrderKey& key, Bitmap& out, const Bitmap& base, bool greater,
                                        bool inclusive) const {
    const Slices& key_slices = slices();
    if (few_candidates(base)) {
        const Bound bound{key, inclusive};
        return select_each(greater ? &bound : nullptr, greater ? nullptr : &bound, out, base);
    }
    // Going down from the top bit: where the key has the bit that loses
    // (0 for "greater", 1 for "less"), the agreeing candidates with the other
    // bit are decided. The first slice also drops the ids of base that hold
    // no number, which the shortcuts of descend() rely on.
    const unsigned deciding_bit = greater ? 0u : 1u;
    const int top = OrderKey::bits - 1;
    const unsigned q = key.bit(top);
    std::vector<Bitmap> decided;
    if (q == deciding_bit) decided.push_back(base & key_slices[top][1 - q].bitmap());
    Bitmap agreeing = base & key_slices[top][q].bitmap();
    if (!agreeing.empty()) descend(key, top - 1, agreeing, decided, deciding_bit);
    if (inclusive) decided.push_back(std::move(agreeing));
    add_parts(out, decided);
}

std::optional<OrderKey> NumericalBitmap::key_of(uint32_t id) const {
    const Slices& key_slices = slices();
    // Every id has its key's lowest bit in one of the two halves of slice 0.
    if (!key_slices[0][0].bitmap().contains(id) && !key_slices[0][1].bitmap().contains(id)) return std::nullopt;
    OrderKey key{0, 0};
    for (int c = 0; c < OrderKey::bits; ++c) {
        if (!key_slices[c][1].bitmap().contains(id)) continue;
        if (c < 64) key.mantissa |= uint64_t(1) << c;
        else key.header = uint16_t(key.header | (1u << (c - 64)));
    }
    return key;
}

bool NumericalBitmap::holds_key(uint32_t id, const OrderKey& key) const {
    const Slices& key_slices = slices();
    for (int c = 0; c < OrderKey::bits; ++c)
        if (!key_slices[c][key.bit(c)].bitmap().contains(id)) return false;
    return true;
}

void NumericalBitmap::get_between_into_base(const OrderKey& low, const OrderKey& high, Bitmap& out,
                                            const Bitmap& base) const {
    const Slices& key_slices = slices();
    if (high < low) return;
    if (few_candidates(base)) {
        const Bound lower{low, true}, upper{high, true};
        return select_each(&lower, &upper, out, base);
    }
    // One walk down the bits both bounds share; where they part, the
    // candidates with the lower bound's bit are below the upper bound already
    // and need only the lower test on the bits left, the others the reverse.
    Bitmap agreeing;
    int c = OrderKey::bits - 1;
    for (bool inside = false; c >= 0 && low.bit(c) == high.bit(c); --c) {
        const unsigned q = low.bit(c);
        const Bitmap& same = key_slices[c][q].bitmap();
        const Bitmap& other = key_slices[c][1 - q].bitmap();
        if (!inside) {
            agreeing = base & same;  // also drops the ids of base without a number
            inside = true;
        } else if (other.empty()) {
            continue;
        } else if (same.empty()) {
            return;
        } else {
            keep_polarity(agreeing, same, other);
        }
        if (agreeing.empty()) return;
    }
    if (c < 0) {
        out |= agreeing;  // equal bounds
        return;
    }
    // Here low has bit 0 and high bit 1.
    const Bitmap& zeros = key_slices[c][0].bitmap();
    const Bitmap& ones = key_slices[c][1].bitmap();
    const Bitmap& from = c == OrderKey::bits - 1 ? base : agreeing;
    Bitmap above_low = from & ones;
    Bitmap below_high = from & zeros;
    std::vector<Bitmap> decided;
    if (!below_high.empty()) descend(low, c - 1, below_high, decided, 0u);
    decided.push_back(std::move(below_high));
    if (!above_low.empty()) descend(high, c - 1, above_low, decided, 1u);
    decided.push_back(std::move(above_low));
    add_parts(out, decided);
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
    values_.retain(keep);
    if (!slices_) return;
    Slices& key_slices = *slices_;
    for (Slice& slice : key_slices) {
        for (Element& el : slice) {
            el.flush();
            el.bitmap() &= keep;
        }
    }
}

void NumericalBitmap::merge_from(const NumericalBitmap& other) {
    if (&other == this) return;
    values_.merge_from(other.values_);
    if (!other.slices_) return;
    Slices& key_slices = made_slices();
    for (int c = 0; c < OrderKey::bits; ++c) {
        for (int b = 0; b < 2; ++b) {
            key_slices[c][b].flush();
            key_slices[c][b].bitmap() |= other.slices()[c][b].bitmap();
        }
    }
}

bool NumericalBitmap::holds_header(uint16_t header) const {
    const Slices& key_slices = slices();
    const int first = 64;
    for (int c = first; c < OrderKey::bits; ++c)
        if (key_slices[c][(header >> (c - first)) & 1u].bitmap().empty()) return false;
    Bitmap ids = key_slices[first][header & 1u].bitmap().clone();
    for (int c = first + 1; c < OrderKey::bits && !ids.empty(); ++c) ids &= key_slices[c][(header >> (c - first)) & 1u].bitmap();
    return !ids.empty();
}

size_t NumericalBitmap::buffered_count() const noexcept {
    const Slices& key_slices = slices();
    size_t n = 0;
    for (const Slice& slice : key_slices) n += slice[0].buffered() + slice[1].buffered();
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

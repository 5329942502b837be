#include "index/core/ordering.hpp"

#include <cmath>
#include <limits>
#include <utility>

#include "index/core/query/query_map.hpp"
#include "index/core/structures/string_interner.hpp"

namespace tarnwick {
namespace {

const QueryMap* map_named(const FilteredView& view, std::string_view name) {
    const uint32_t attribute = INTERNER().intern(name);
    ReadGuard g(view.query_maps->lock());
    // Installed maps stay put while the table lives, which the view keeps.
    return IndexAPI::map_at(view.query_maps->get(), attribute);
}

// The ids of `within` that hold any key: every id of the structure is in
// exactly one half of every slice. A view whose ids all hold a number (the
// common case) is found so by counting, without building a second set.
Bitmap keyed(const NumericalBitmap& numbers, const Bitmap& within) {
    const auto& lowest = numbers.slices()[0];
    const Bitmap& zeros = lowest[0].bitmap();
    const Bitmap& ones = lowest[1].bitmap();
    const uint64_t held = (zeros.empty() ? 0 : within.and_cardinality(zeros)) +
                          (ones.empty() ? 0 : within.and_cardinality(ones));
    if (held == within.cardinality()) return within.clone();
    Bitmap out = zeros & within;
    out |= ones & within;
    return out;
}

// NaN keys sort beyond the infinity of their sign; NaN is no number to
// order by. Only ids whose header is all ones (positive) or all zeros
// (negative) can hold an infinity or a NaN: those ids of the whole structure
// are found first, starting from the smallest header slice, which for
// ordinary numbers leaves nothing after a step or two and never reads `ids`.
void drop_nans(const NumericalBitmap& numbers, Bitmap& ids) {
    const double inf = std::numeric_limits<double>::infinity();
    constexpr int header_top = OrderKey::bits - 1;
    for (const bool above : {true, false}) {
        const unsigned bit = above ? 1u : 0u;
        int smallest = header_top;
        for (int c = header_top - 1; c >= 64; --c)
            if (numbers.slices()[c][bit].bitmap().cardinality() < numbers.slices()[smallest][bit].bitmap().cardinality())
                smallest = c;
        Bitmap edge = numbers.slices()[smallest][bit].bitmap() & ids;
        for (int c = header_top; c >= 64 && !edge.empty(); --c)
            if (c != smallest) edge &= numbers.slices()[c][bit].bitmap();
        if (edge.empty()) continue;
        const OrderKey limit = order_key_float(above ? inf : -inf);
        Bitmap nans;
        if (above) GET_GT_FN()(numbers, limit, nans, edge);
        else GET_LT_FN()(numbers, limit, nans, edge);
        ids -= nans;
    }
}

// A depth-first walk of the key bits, most significant first, taking the
// smaller (or larger) half first: the leaves come out in key order, each the
// ids of one key. A subtree no larger than what is still to be skipped is
// skipped by its count alone, and the walk stops once enough ids are out.
//
// Near the top of the key a subtree holds most of the structure. There the
// walk follows the structure's own slices (dense bitmaps meet at a word at a
// time) and looks at the candidates only where a subtree has become small:
// the first page then costs about the ids of the structure below the k-th
// candidate, whatever the number of candidates. Few candidates among many
// ids are better followed on their own from the start.
class Walk {
public:
    Walk(const NumericalBitmap& numbers, const Bitmap& candidates, bool descending, uint64_t skip, uint64_t take,
         std::vector<uint32_t>& out)
        : slices_(numbers.slices()), candidates_(candidates), first_(descending ? 1 : 0), skip_(skip), take_(take),
          out_(out) {}

    void run() {
        const Bitmap& zeros = slices_[0][0].bitmap();
        const Bitmap& ones = slices_[0][1].bitmap();
        const uint64_t structure = zeros.cardinality() + ones.cardinality();
        const uint64_t wanted = candidates_.cardinality();
        // Every id of the structure is in one half of the top varying slice.
        const int bit = varying_below(top_bit);
        if (bit < 0 || wanted <= narrow_limit || wanted * sparse_ratio < structure) {
            // Ids that no longer hold a key since the candidates were chosen
            // would be in neither half of a slice and pass for either.
            Bitmap ids = zeros & candidates_;
            ids |= ones & candidates_;
            visit(top_bit, ids, true);
            return;
        }
        visit(bit - 1, slices_[bit][first_].bitmap(), false);
        if (!done()) visit(bit - 1, slices_[bit][1 - first_].bitmap(), false);
    }

private:
    static constexpr int top_bit = OrderKey::bits - 1;
    static constexpr uint64_t narrow_limit = 1024;
    static constexpr uint64_t sparse_ratio = 32;

    bool done() const { return out_.size() >= take_; }

    // The highest bit at or below `bit` on which ids of the structure differ
    // (-1 if none): the others decide nothing.
    int varying_below(int bit) const {
        while (bit >= 0 && (slices_[bit][0].bitmap().empty() || slices_[bit][1].bitmap().empty())) --bit;
        return bit;
    }

    // `ids`: the ids of the structure under one key prefix; once `narrowed`,
    // only the candidates among them.
    void visit(int bit, const Bitmap& ids, bool narrowed) {
        if (done()) return;
        if (!narrowed && ids.cardinality() <= narrow_limit) {
            visit(bit, candidates_among(ids), true);
            return;
        }
        const uint64_t count = narrowed ? ids.cardinality() : (skip_ > 0 ? ids.and_cardinality(candidates_) : 1);
        if (count == 0) return;
        if (skip_ > 0 && count <= skip_) {
            skip_ -= count;
            return;
        }
        bit = varying_below(bit);
        if (bit < 0 || (narrowed && count == 1)) {
            if (narrowed) emit(ids);
            else emit(candidates_among(ids));
            return;
        }
        {
            const Bitmap part = ids & slices_[bit][first_].bitmap();
            visit(bit - 1, part, narrowed);
        }
        // The other half only when the first did not fill the page: near the
        // top of the key it is most of the ids.
        if (done()) return;
        const Bitmap part = ids & slices_[bit][1 - first_].bitmap();
        visit(bit - 1, part, narrowed);
    }

    // A small subtree's ids lie in every chunk of the id range, a few in
    // each: a roaring intersection would merge them with all the candidates
    // of each chunk, where looking each one up costs a search.
    Bitmap candidates_among(const Bitmap& ids) const {
        std::vector<uint32_t> hits;
        ids.for_each([&](uint32_t id) {
            if (candidates_.contains(id)) hits.push_back(id);
        });
        Bitmap out;
        out.add_many(hits);
        return out;
    }

    // One key's ids, in ascending id order; a key many ids share is paged
    // by rank rather than read through.
    void emit(const Bitmap& ids) {
        const uint64_t count = ids.cardinality();
        if (count <= skip_) {
            skip_ -= count;
            return;
        }
        ids.page(skip_, take_ - out_.size()).for_each([this](uint32_t id) { out_.push_back(id); });
        skip_ = 0;
    }

    const std::array<NumericalBitmap::Slice, OrderKey::bits>& slices_;
    const Bitmap& candidates_;
    const unsigned first_;
    uint64_t skip_;
    const uint64_t take_;
    std::vector<uint32_t>& out_;
};

}  // namespace

NumericSplit split_by_number(const FilteredView& view, std::string_view name, const Bitmap& within) {
    NumericSplit split;
    const QueryMap* map = map_named(view, name);
    if (!map) {
        split.rest = within.clone();
        return split;
    }
    ReadGuard maps(view.query_maps->lock());
    ReadGuard g(map->numbers.lock());
    const NumericalBitmap& numbers = map->numbers.get();
    split.numbers = keyed(numbers, within);
    drop_nans(numbers, split.numbers);
    if (split.numbers.cardinality() != within.cardinality()) split.rest = within - split.numbers;
    return split;
}

std::vector<uint32_t> ordered_by_number(const FilteredView& view, std::string_view name, const Bitmap& candidates,
                                        bool descending, uint64_t skip, uint64_t take) {
    std::vector<uint32_t> out;
    if (take == 0) return out;
    const QueryMap* map = map_named(view, name);
    if (!map) return out;
    ReadGuard maps(view.query_maps->lock());
    ReadGuard g(map->numbers.lock());
    const NumericalBitmap& numbers = map->numbers.get();
    if (take < candidates.cardinality()) out.reserve(take);
    Walk(numbers, candidates, descending, skip, take, out).run();
    return out;
}

}  // namespace tarnwick

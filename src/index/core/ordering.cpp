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

// The ids of `within` that hold any key (every such id has its lowest key
// bit in one of the two halves of slice 0).
Bitmap keyed(const NumericalBitmap& numbers, const Bitmap& within) {
    const auto& lowest = numbers.slices()[0];
    Bitmap out = lowest[0].bitmap() & within;
    out |= lowest[1].bitmap() & within;
    return out;
}

// NaN keys sort beyond the infinity of their sign; NaN is no number to
// order by. Only ids whose header is all ones (positive) or all zeros
// (negative) can hold an infinity or a NaN: the header slices narrow `ids` to
// those first, which for ordinary numbers leaves nothing after a step or two.
void drop_nans(const NumericalBitmap& numbers, Bitmap& ids) {
    const double inf = std::numeric_limits<double>::infinity();
    for (const bool above : {true, false}) {
        const unsigned bit = above ? 1u : 0u;
        Bitmap edge = ids & numbers.slices()[OrderKey::bits - 2][bit].bitmap();
        for (int c = OrderKey::bits - 3; c >= 64 && !edge.empty(); --c) edge &= numbers.slices()[c][bit].bitmap();
        if (!edge.empty()) edge &= numbers.slices()[OrderKey::bits - 1][bit].bitmap();
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
// skipped by its cardinality alone, and the walk stops once enough ids are out.
class Walk {
public:
    Walk(const NumericalBitmap& numbers, bool descending, uint64_t skip, uint64_t take, std::vector<uint32_t>& out)
        : slices_(numbers.slices()), first_(descending ? 1 : 0), skip_(skip), take_(take), out_(out) {}

    void visit(int bit, Bitmap ids) {
        if (out_.size() >= take_) return;
        const uint64_t count = ids.cardinality();
        if (count == 0) return;
        if (count <= skip_) {
            skip_ -= count;
            return;
        }
        // Bits on which no id of the structure differs decide nothing.
        while (bit >= 0 && (slices_[bit][0].bitmap().empty() || slices_[bit][1].bitmap().empty())) --bit;
        if (bit < 0 || count == 1) {
            emit(ids);
            return;
        }
        const Bitmap& taken_first = slices_[bit][first_].bitmap();
        visit(bit - 1, ids & taken_first);
        // The other half only when the first did not fill the page: near the
        // top of the key it is most of the ids.
        if (out_.size() >= take_) return;
        ids -= taken_first;
        visit(bit - 1, std::move(ids));
    }

private:
    // One key's ids, in ascending id order.
    void emit(const Bitmap& ids) {
        ids.for_each([this](uint32_t id) {
            if (skip_ > 0) {
                --skip_;
            } else if (out_.size() < take_) {
                out_.push_back(id);
            }
        });
    }

    const std::array<NumericalBitmap::Slice, OrderKey::bits>& slices_;
    const unsigned first_;
    uint64_t skip_;
    const uint64_t take_;
    std::vector<uint32_t>& out_;
};

}  // namespace

NumericSplit split_by_number(const FilteredView& view, std::string_view name, const Bitmap& within) {
    NumericSplit split{Bitmap(), within.clone()};
    const QueryMap* map = map_named(view, name);
    if (!map) return split;
    ReadGuard maps(view.query_maps->lock());
    ReadGuard g(map->numbers.lock());
    const NumericalBitmap& numbers = map->numbers.get();
    split.numbers = keyed(numbers, within);
    drop_nans(numbers, split.numbers);
    split.rest -= split.numbers;
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
    // Values may have changed since the split: only ids holding a key now
    // take part, or an id in neither half of a slice would pass for one.
    Bitmap ids = keyed(numbers, candidates);
    if (take < ids.cardinality()) out.reserve(take);
    Walk(numbers, descending, skip, take, out).visit(OrderKey::bits - 1, std::move(ids));
    return out;
}

}  // namespace tarnwick

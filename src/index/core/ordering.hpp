// Ordering the objects of a view by a numeric attribute straight from the
// attribute's bit-sliced index: the ids come out smallest (or largest) key
// first without reading any object, and a page of k ids costs a number of
// bitmap operations that grows with k, not with the number of ids.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "index/core/index.hpp"

namespace tarnwick {

struct NumericSplit {
    // The ids of `within` whose attribute holds an ordered number (NaN not).
    Bitmap numbers;
    // The other ids of `within`.
    Bitmap rest;
};

// Splits `within` (object ids of the view's engine) by whether the attribute
// `name` (no dots) holds a number there. GIL released, no native lock held.
NumericSplit split_by_number(const FilteredView& view, std::string_view name, const Bitmap& within);

// The ids of `candidates` ordered by the number attribute `name` holds,
// ascending (or descending), ties in ascending id order; `skip` ids are left
// out first, then at most `take` come back. Ids that no longer hold a number
// are left out. GIL released, no native lock held.
std::vector<uint32_t> ordered_by_number(const FilteredView& view, std::string_view name, const Bitmap& candidates,
                                        bool descending, uint64_t skip, uint64_t take);

}  // namespace tarnwick

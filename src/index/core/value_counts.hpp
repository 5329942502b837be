// The distinct values of one attribute among a set of objects, each with the
// objects holding it, read from the attribute's value index.
#pragma once

#include <string_view>
#include <utility>
#include <vector>

#include "index/core/index.hpp"

namespace tarnwick {

struct ValueHolders {
    PyValue value;
    // The objects of the universe that hold the value (as the attribute's
    // value or as an item of a list, tuple or set held there).
    Bitmap holders;
};

// One entry per distinct value of `path` (an attribute name or a dotted path)
// among the objects of `universe`, which must be members of the engine of
// `view` (the view's ids are not used). Numbers equal across int and float
// are one value; NaN is no value (it equals nothing). The cost grows with the
// number of distinct values, not with the number of objects: each value is
// found by reading one object that holds it and counted by its bitmap in the
// value index. GIL released, no native lock held.
std::vector<ValueHolders> value_holders(const FilteredView& view, std::string_view path, const Bitmap& universe);

}  // namespace tarnwick

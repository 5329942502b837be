// FilteredIndex: the Python class of a view, the fixed set of object ids a
// reduction selected, over the tables of the engine it came from. Views are
// made only by reductions; they can be narrowed, collected and rebased into a
// new Index, and they never change the engine.
#pragma once

#include "index/core/stored_item.hpp"
#include "index/core/structures/bitmap.hpp"
#include "index/pyref.hpp"

#include <cstdint>
#include <limits>

namespace tarnwick {

struct FilteredView;

// The class, created on first use and kept for the life of the process; null
// with the Python error set if it cannot be created.
PyTypeObject* filtered_index_type();

// Adds the class to the module as "FilteredIndex".
int register_filtered_index(PyObject* module);

// A new FilteredIndex taking over the view of the engine of `index` (the
// Index object, borrowed; the view keeps it). Null with the error set.
PyObject* filtered_index_wrap(FilteredView view, PyObject* index);

// The objects in the slots of `ids` that hold one, in ascending id order, as a
// new list. GIL held; no native lock held.
// Objects of a view made at `epoch` (held_since) are only those it held.
PyObject* present_objects_list(const SharedItemTable& items, const Bitmap& ids,
                               uint64_t epoch = std::numeric_limits<uint64_t>::max());

}  // namespace tarnwick

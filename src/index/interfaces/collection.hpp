// What Index and FilteredIndex share as Python collections: len, in,
// iteration, the paged and ordered collect, value_counts and the repr. Each
// works on a view: the Index passes a view of all its members.
#pragma once

#include "index/pyref.hpp"

namespace tarnwick {

struct FilteredView;

// The number of objects collect() would return; -1 with the error set.
Py_ssize_t view_length(const FilteredView& view);
// Whether obj is one of the view's objects (identity); anything that is not
// an Indexable is in no view. -1 with the error set.
int view_contains(const FilteredView& view, PyObject* obj);
// An iterator over a snapshot of collect().
PyObject* view_iter(const FilteredView& view);
// collect(*, order_by=None, descending=False, limit=None, offset=0).
PyObject* view_collect(const FilteredView& view, PyObject* args, PyObject* kwargs);
// value_counts(attr).
PyObject* view_value_counts(const FilteredView& view, PyObject* args, PyObject* kwargs);
// "<Tarnwick.NAME with N objects>".
PyObject* view_repr(const char* class_name, Py_ssize_t length);

}  // namespace tarnwick

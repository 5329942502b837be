// Private hooks of the Index class for the test suite: they read the engine's
// structures directly, so that tests can check what was indexed without going
// through the query language. Paths name nested engines with dots ("a.b" is
// attribute b in the nested engine of attribute a).
#pragma once

#include "index/pyref.hpp"

namespace tarnwick {

// _debug_eq(path, value): sorted ids of the top-level objects whose attribute
// at `path` equals `value`.
PyObject* index_debug_eq(PyObject* self, PyObject* args);
// _debug_members(): the member ids.
PyObject* index_debug_members(PyObject* self, PyObject*);
// _debug_nested_members(path): the member ids of the nested engine of the
// attribute at `path`.
PyObject* index_debug_nested_members(PyObject* self, PyObject* path);
// _debug_holders(path, child): the ids linked as holders of `child` in the
// nested engine of the attribute at `path`.
PyObject* index_debug_holders(PyObject* self, PyObject* args);
// _debug_map_stats(path): counts of the attribute's map (elements, owners,
// exact values, nested members, links); None when there is no map.
PyObject* index_debug_map_stats(PyObject* self, PyObject* path);

}  // namespace tarnwick

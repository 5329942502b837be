// Index: the Python class around one engine.
//
// The class converts arguments while it holds the GIL, releases the GIL for
// the engine work and takes it back to build results. Calls from several
// threads may run at once; the engine's locks order them.
#pragma once

#include "index/pyref.hpp"

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

namespace tarnwick {

class IndexAPI;

// The Index class object, created on first use (GIL held).
PyTypeObject* index_type();

bool is_index(PyObject* obj) noexcept;

// The engine of an Index instance; null (with RuntimeError set) once the
// garbage collector has cleared the instance.
std::shared_ptr<IndexAPI> index_engine(PyObject* index);

// Records references that code outside the class put into the engine's item
// table for this instance (pairs of slot and the very handle in the slot), so
// that the instance reports them as its own. GIL held.
void index_hold_references(PyObject* index, const std::vector<std::pair<uint32_t, PyHandle>>& references);

// Drops the index's own hold on objects that are no longer members (after an
// in-place reduction), so that they can go. GIL held.
void index_release_non_members(PyObject* index);

// The instance's hold on its open watches: taken when one opens, given up when
// it closes. GIL held.
void index_keep_watch(PyObject* index, PyObject* watch);
void index_forget_watch(PyObject* index, PyObject* watch);
// Adds the class to the module (attribute and __all__).
int register_index(PyObject* module);

}  // namespace tarnwick

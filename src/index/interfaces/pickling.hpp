// pickle, copy.copy and copy.deepcopy of Indexable objects: an object is
// rebuilt as a new instance of its class, made without calling __init__,
// whose attributes are then assigned one by one. The copy belongs to no index.
#pragma once

#include "index/pyref.hpp"

namespace tarnwick {

// __reduce__: (copyreg.__newobj__, (cls,), {name: value}).
PyObject* indexable_reduce(PyObject* self, PyObject* unused);
// __setstate__(state): assigns every item of the dict as an attribute.
PyObject* indexable_setstate(PyObject* self, PyObject* state);

}  // namespace tarnwick

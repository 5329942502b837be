// Index.union_with: merging another Index into this one.
#pragma once

#include "index/pyref.hpp"

namespace tarnwick {

// union_with(other): the members of `other` join this index with the values
// `other` holds for them; `other` is left as it was. The GIL is released for
// the whole merge.
PyObject* index_union_with(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace tarnwick

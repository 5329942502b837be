// Indexable: the Python base class of every object an Index can hold. Its
// instances keep their attributes in a native record (indexable_record.hpp);
// assigning an attribute updates every engine the object belongs to.
#pragma once

#include "index/indexable_record.hpp"
#include "index/pyref.hpp"

namespace tarnwick {

// The Indexable class object, created on first use (GIL held) and registered
// in the type registry. Null with the Python error set if it cannot be made.
PyTypeObject* indexable_type();

// Adds the class to the module (attribute and __all__).
int register_indexable(PyObject* module);

}  // namespace tarnwick

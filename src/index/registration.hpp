// Helpers shared by everything the module registers.
#pragma once

#include "index/pyref.hpp"

namespace tarnwick {

// Sets module.<name> = obj and appends name to module.__all__ (created on
// first use). Steals nothing. 0 on success, -1 with an error set.
int add_to_module(PyObject* module, const char* name, PyObject* obj);

// tp_new of classes whose instances only the module itself makes: raises
// TypeError "No constructor defined for <Name>".
PyObject* no_constructor_new(PyTypeObject* cls, PyObject* args, PyObject* kwargs);

// Creates a class from a spec named "Tarnwick.<Name>" (so that __module__ is
// "Tarnwick"); its type name is then the bare <Name>, as in error messages.
// The spec must be static: the type name points into it. New reference, or
// null with an error set.
PyObject* make_class(PyType_Spec* spec);

}  // namespace tarnwick

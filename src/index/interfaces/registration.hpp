// Helpers shared by everything the module registers.
#pragma once

#include <atomic>

#include "index/pyref.hpp"

namespace tarnwick {

// Sets module.<name> = obj and appends name to module.__all__ (created on
// first use). Steals nothing. 0 on success, -1 with an error set.
int add_to_module(PyObject* module, const char* name, PyObject* obj);

// tp_new of classes whose instances only the module itself makes: raises
// TypeError "No constructor defined for <Name>".
PyObject* no_constructor_new(PyTypeObject* cls, PyObject* args, PyObject* kwargs);

// Creates a class from a PyType_Spec named "Tarnwick.<Name>" (so that __module__ is
// "Tarnwick"); its type name is then the bare <Name>, as in error messages.
// The PyType_Spec must be static: the type name points into it. New reference, or
// null with an error set.
PyObject* make_class(PyType_Spec* type_spec);

// The class `make()` creates, made on first use and kept in `cell` for the
// life of the process. Under the GIL; should a second creation race the first
// (type creation can run Python code), the later class is dropped.
template <class Make>
PyTypeObject* class_once(std::atomic<PyTypeObject*>& cell, Make make) {
    if (PyTypeObject* t = cell.load(std::memory_order_acquire)) return t;
    PyObject* created = make();
    if (!created) return nullptr;
    PyTypeObject* expected = nullptr;
    if (!cell.compare_exchange_strong(expected, reinterpret_cast<PyTypeObject*>(created))) {
        Py_DECREF(created);
        return expected;
    }
    return reinterpret_cast<PyTypeObject*>(created);
}

}  // namespace tarnwick

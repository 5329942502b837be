// Runtime docstrings. Their text is the package's type stub, compiled in by
// the build, so that help() and an editor show the same documentation.
#pragma once

#include "index/pyref.hpp"

namespace tarnwick {

// The stub's docstring of `name` ("Index", "Index.collect", "sum_as_string"),
// or null when the stub documents no such name.
const char* stub_doc(const char* name) noexcept;

// Gives `def` the stub's docstring of <owner>.<def.ml_name> (of the module
// function <def.ml_name> when owner is null), after the text signature that
// def's own docstring starts with. Under the GIL, before def is used to make a
// function or a class.
void document_method(const char* owner, PyMethodDef& def);

// Gives the class the spec describes, and each of its methods, the stub's
// docstrings. The class is named by the last part of the spec's name. Under
// the GIL, before the class is made from the spec.
void document_class(PyType_Spec& spec);

}  // namespace tarnwick

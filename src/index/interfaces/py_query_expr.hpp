// PyQueryExpr: the Python handle of a query tree. Programs build trees only
// through its static factories (eq, and_, not_, ...) and hand them to
// reduced_query; an instance never changes after it is made.
#pragma once

#include "index/core/query/query_expr.hpp"
#include "index/pyref.hpp"

#include <optional>

namespace tarnwick {

// The class, created on first use and kept for the life of the process; null
// with the Python error set if it cannot be created.
PyTypeObject* py_query_expr_type();

// Adds the class to the module as "PyQueryExpr" (and a private test hook,
// _keyword_query). 0, or -1 with an error set.
int register_py_query_expr(PyObject* module);

bool is_query_expr(PyObject* obj) noexcept;

// The tree held by a PyQueryExpr (is_query_expr(obj) must hold). It lives as
// long as obj; copy it before releasing the GIL.
const QueryExpr& query_expr_of(PyObject* obj) noexcept;

// The argument of a reduced_query method (one PyQueryExpr, positional or
// `query=`), copied for use without the GIL. Nothing, with the Python error
// set, for anything else.
std::optional<QueryExpr> query_argument(PyObject* args, PyObject* kwargs);

// The keyword conditions of the keyword-only method `fname`. Nothing, with
// the Python error set, for positional arguments or a bad keyword dict.
std::optional<KeywordQuery> keyword_conditions(const char* fname, PyObject* args, PyObject* kwargs);

}  // namespace tarnwick

#include "index/interfaces/py_query_expr.hpp"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "index/interfaces/boundary.hpp"
#include "index/interfaces/registration.hpp"

namespace tarnwick {
namespace {

// Deeper trees are refused: every walk over a tree (copy, evaluation, text,
// release) recurses once per level, and a tree nested without bound would
// overflow the native stack instead of raising an error.
constexpr uint32_t MAX_QUERY_DEPTH = 1000;

struct QueryExprObject {
    PyObject_HEAD
    QueryExpr* expr;  // owned; null only while the object is being made
    uint32_t depth;   // levels of the tree, a leaf test being one
};

std::atomic<PyTypeObject*> the_type{nullptr};

QueryExprObject* as_query(PyObject* obj) noexcept { return reinterpret_cast<QueryExprObject*>(obj); }

QueryExpr copy_for_new_instance(const QueryExpr& source) {
    QueryExpr copy = source;
    // The garbage collector visits the values of every instance, so each
    // instance must own what it reports: a visit of a reference shared with
    // another instance would be counted twice against a single real one.
    copy.for_each_value([](PyValue& v) {
        v = v.with_own_reference();
        return 0;
    });
    return copy;
}

bool depth_allowed(uint32_t depth) {
    if (depth <= MAX_QUERY_DEPTH) return true;
    PyErr_Format(PyExc_RecursionError, "query trees may be at most %u levels deep", MAX_QUERY_DEPTH);
    return false;
}

// A new instance taking over expr. Null with the Python error set.
PyObject* wrap(QueryExpr expr, uint32_t depth) {
    if (!depth_allowed(depth)) return nullptr;
    PyTypeObject* type = py_query_expr_type();
    if (!type) return nullptr;
    auto owned = std::make_unique<QueryExpr>(std::move(expr));
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    as_query(self)->expr = owned.release();
    as_query(self)->depth = depth;
    return self;
}

// Errors in the wording of the interpreter's own generated argument parsers.
void bad_argument(const char* fname, const char* param, const char* expected, PyObject* got) {
    PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be %s, not %.200s", fname, param, expected,
                 Py_TYPE(got)->tp_name);
}

bool attr_path(const char* fname, PyObject* attr, AttrPath& out) {
    if (!PyUnicode_Check(attr)) {
        bad_argument(fname, "attr", "str", attr);
        return false;
    }
    std::optional<AttrPath> path = path_from_py(attr);
    if (!path) return false;
    out = std::move(*path);
    return true;
}

bool query_operand(const char* fname, PyObject* obj) {
    if (is_query_expr(obj)) return true;
    bad_argument(fname, "exprs", "PyQueryExpr", obj);
    return false;
}

// ---- factories --------------------------------------------------------------

template <class Node>
PyObject* attr_value_factory(const char* format, const char* fname, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"attr", "value", nullptr};
    PyObject* attr = nullptr;
    PyObject* value = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(keywords), &attr, &value)) {
        return nullptr;
    }
    return guarded([&]() -> PyObject* {
        AttrPath path;
        if (!attr_path(fname, attr, path)) return nullptr;
        return wrap(QueryExpr(Node{std::move(path), PyValue::from_py(value)}), 1);
    });
}

#define TARNWICK_ATTR_VALUE_FACTORY(fn, Node)                                         \
    PyObject* fn(PyObject*, PyObject* args, PyObject* kwargs) {                      \
        return attr_value_factory<QueryExpr::Node>("OO:" #fn, #fn, args, kwargs);  \
    }

TARNWICK_ATTR_VALUE_FACTORY(eq, Eq)
TARNWICK_ATTR_VALUE_FACTORY(ne, Ne)
TARNWICK_ATTR_VALUE_FACTORY(gt, Gt)
TARNWICK_ATTR_VALUE_FACTORY(ge, Ge)
TARNWICK_ATTR_VALUE_FACTORY(lt, Lt)
TARNWICK_ATTR_VALUE_FACTORY(le, Le)
TARNWICK_ATTR_VALUE_FACTORY(starts_with, StartsWi)
TARNWICK_ATTR_VALUE_FACTORY(ends_with, EndsWi)
TARNWICK_ATTR_VALUE_FACTORY(contains, Contains)

#undef TARNWICK_ATTR_VALUE_FACTORY

PyObject* bt(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"attr", "lower", "upper", nullptr};
    PyObject *attr = nullptr, *lower = nullptr, *upper = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO:bt", const_cast<char**>(keywords), &attr, &lower, &upper)) {
        return nullptr;
    }
    return guarded([&]() -> PyObject* {
        AttrPath path;
        if (!attr_path("bt", attr, path)) return nullptr;
        PyValue low = PyValue::from_py(lower);
        PyValue high = PyValue::from_py(upper);
        return wrap(QueryExpr(QueryExpr::Bt{std::move(path), std::move(low), std::move(high)}), 1);
    });
}

PyObject* in_(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"attr", "values", nullptr};
    PyObject *attr = nullptr, *values = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:in_", const_cast<char**>(keywords), &attr, &values)) {
        return nullptr;
    }
    return guarded([&]() -> PyObject* {
        AttrPath path;
        if (!attr_path("in_", attr, path)) return nullptr;
        // A str is an iterable of its characters, which is never what a
        // caller means by a set of candidate values.
        if (PyUnicode_Check(values) || (!Py_TYPE(values)->tp_iter && !PySequence_Check(values))) {
            bad_argument("in_", "values", "an iterable other than str", values);
            return nullptr;
        }
        OwnedRef iter = OwnedRef::steal(PyObject_GetIter(values));
        if (!iter) return nullptr;
        std::vector<PyValue> converted;
        while (OwnedRef item = OwnedRef::steal(PyIter_Next(iter.get()))) converted.push_back(PyValue::from_py(item.get()));
        if (PyErr_Occurred()) return nullptr;
        return wrap(QueryExpr(QueryExpr::In{std::move(path), std::move(converted)}), 1);
    });
}

template <class Node>
PyObject* combination(const char* fname, PyObject* args, PyObject* kwargs) {
    if (kwargs && PyDict_GET_SIZE(kwargs) > 0) {
        PyObject* key = nullptr;
        Py_ssize_t pos = 0;
        PyDict_Next(kwargs, &pos, &key, nullptr);
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", fname, key);
        return nullptr;
    }
    const Py_ssize_t n = PyTuple_GET_SIZE(args);
    uint32_t depth = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* member = PyTuple_GET_ITEM(args, i);
        if (!query_operand(fname, member)) return nullptr;
        depth = std::max(depth, as_query(member)->depth);
    }
    if (!depth_allowed(depth + 1)) return nullptr;
    return guarded([&]() -> PyObject* {
        std::vector<QueryExpr> members;
        members.reserve(static_cast<size_t>(n));
        for (Py_ssize_t i = 0; i < n; ++i) {
            members.push_back(copy_for_new_instance(*as_query(PyTuple_GET_ITEM(args, i))->expr));
        }
        return wrap(QueryExpr(Node{std::move(members)}), depth + 1);
    });
}

PyObject* and_(PyObject*, PyObject* args, PyObject* kwargs) { return combination<QueryExpr::And>("and_", args, kwargs); }

PyObject* or_(PyObject*, PyObject* args, PyObject* kwargs) { return combination<QueryExpr::Or>("or_", args, kwargs); }

PyObject* not_(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"exprs", nullptr};
    PyObject* operand = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:not_", const_cast<char**>(keywords), &operand)) return nullptr;
    if (!query_operand("not_", operand)) return nullptr;
    if (!depth_allowed(as_query(operand)->depth + 1)) return nullptr;
    return guarded([&]() -> PyObject* {
        QueryBox box(copy_for_new_instance(*as_query(operand)->expr));
        return wrap(QueryExpr(QueryExpr::Not{std::move(box)}), as_query(operand)->depth + 1);
    });
}

// ---- the class --------------------------------------------------------------

// q1 & q2, q1 | q2 and ~q: the combinations and_(q1, q2), or_(q1, q2) and
// not_(q); any other operand is left to its own type.
template <class Node>
PyObject* binary_operator(const char* fname, PyObject* left, PyObject* right) {
    if (!is_query_expr(left) || !is_query_expr(right)) Py_RETURN_NOTIMPLEMENTED;
    PyObject* args = PyTuple_Pack(2, left, right);
    if (!args) return nullptr;
    PyObject* out = combination<Node>(fname, args, nullptr);
    Py_DECREF(args);
    return out;
}

PyObject* query_and(PyObject* left, PyObject* right) { return binary_operator<QueryExpr::And>("and_", left, right); }

PyObject* query_or(PyObject* left, PyObject* right) { return binary_operator<QueryExpr::Or>("or_", left, right); }

PyObject* query_invert(PyObject* operand) {
    PyObject* args = PyTuple_Pack(1, operand);
    if (!args) return nullptr;
    PyObject* out = not_(nullptr, args, nullptr);
    Py_DECREF(args);
    return out;
}

PyObject* query_repr(PyObject* self) {
    return guarded([&]() -> PyObject* {
        const QueryExpr* expr = as_query(self)->expr;
        std::string text = "<QueryExpr: " + (expr ? expr->debug() : std::string()) + ">";
        return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
    });
}

int query_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    const QueryExpr* expr = as_query(self)->expr;
    if (!expr) return 0;
    return expr->for_each_value([&](const PyValue& v) -> int {
        Py_VISIT(v.obj.get());
        return 0;
    });
}

void query_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    delete std::exchange(as_query(self)->expr, nullptr);
    type->tp_free(self);
    Py_DECREF(type);
    drain_pending_decrefs();  // values held last were parked (pyref.hpp)
}

template <class Fn>
PyCFunction as_method(Fn fn) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

constexpr int FACTORY_FLAGS = METH_VARARGS | METH_KEYWORDS | METH_STATIC;

PyMethodDef query_methods[] = {
    {"eq", as_method(eq), FACTORY_FLAGS, "eq(attr, value)\n--\n\n"},
    {"ne", as_method(ne), FACTORY_FLAGS, "ne(attr, value)\n--\n\n"},
    {"gt", as_method(gt), FACTORY_FLAGS, "gt(attr, value)\n--\n\n"},
    {"ge", as_method(ge), FACTORY_FLAGS, "ge(attr, value)\n--\n\n"},
    {"lt", as_method(lt), FACTORY_FLAGS, "lt(attr, value)\n--\n\n"},
    {"le", as_method(le), FACTORY_FLAGS, "le(attr, value)\n--\n\n"},
    {"bt", as_method(bt), FACTORY_FLAGS, "bt(attr, lower, upper)\n--\n\n"},
    {"in_", as_method(in_), FACTORY_FLAGS, "in_(attr, values)\n--\n\n"},
    {"and_", as_method(and_), FACTORY_FLAGS, "and_(*exprs)\n--\n\n"},
    {"or_", as_method(or_), FACTORY_FLAGS, "or_(*exprs)\n--\n\n"},
    {"not_", as_method(not_), FACTORY_FLAGS, "not_(exprs)\n--\n\n"},
    {"starts_with", as_method(starts_with), FACTORY_FLAGS, "starts_with(attr, value)\n--\n\n"},
    {"ends_with", as_method(ends_with), FACTORY_FLAGS, "ends_with(attr, value)\n--\n\n"},
    {"contains", as_method(contains), FACTORY_FLAGS, "contains(attr, value)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot query_slots[] = {
    {Py_tp_doc, const_cast<char*>("")},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(query_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(query_repr)},
    {Py_tp_traverse, reinterpret_cast<void*>(query_traverse)},
    {Py_tp_methods, query_methods},
    {Py_nb_and, reinterpret_cast<void*>(query_and)},
    {Py_nb_or, reinterpret_cast<void*>(query_or)},
    {Py_nb_invert, reinterpret_cast<void*>(query_invert)},
    {0, nullptr},
};

// Garbage-collected although instances never refer to each other: a value
// can be a list that holds the very query it is tested against.
PyType_Spec query_spec = {
    "Tarnwick.PyQueryExpr",
    static_cast<int>(sizeof(QueryExprObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    query_slots,
};

// ---- private hook for the test suite ----------------------------------------

// _keyword_query(**kwargs): the keyword conditions as (path, value debug text)
// pairs, in the order a reduction receives them.
PyObject* hook_keyword_query(PyObject*, PyObject* args, PyObject* kwargs) {
    if (PyTuple_GET_SIZE(args) != 0) {
        PyErr_SetString(PyExc_TypeError, "_keyword_query() takes keyword arguments only");
        return nullptr;
    }
    return guarded([&]() -> PyObject* {
        std::optional<KeywordQuery> query = kwargs_to_query(kwargs);
        if (!query) return nullptr;
        OwnedRef out = OwnedRef::steal(PyList_New(0));
        if (!out) return nullptr;
        for (const auto& [path, value] : *query) {
            const std::string text = value.debug();
            OwnedRef name = OwnedRef::steal(
                PyUnicode_DecodeUTF8(path.view().data(), static_cast<Py_ssize_t>(path.size()), "surrogatepass"));
            OwnedRef debug = OwnedRef::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
            if (!name || !debug) return nullptr;
            OwnedRef pair = OwnedRef::steal(PyTuple_Pack(2, name.get(), debug.get()));
            if (!pair || PyList_Append(out.get(), pair.get()) < 0) return nullptr;
        }
        return out.release();
    });
}

PyMethodDef query_hooks[] = {
    {"_keyword_query", as_method(hook_keyword_query), METH_VARARGS | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject* py_query_expr_type() {
    return class_once(the_type, [] { return make_class(&query_spec); });
}

int register_py_query_expr(PyObject* module) {
    PyTypeObject* type = py_query_expr_type();
    if (!type) return -1;
    if (add_to_module(module, "PyQueryExpr", reinterpret_cast<PyObject*>(type)) < 0) return -1;
    return PyModule_AddFunctions(module, query_hooks);
}

bool is_query_expr(PyObject* obj) noexcept {
    PyTypeObject* t = the_type.load(std::memory_order_acquire);
    return t && Py_IS_TYPE(obj, t);
}

const QueryExpr& query_expr_of(PyObject* obj) noexcept { return *as_query(obj)->expr; }

std::optional<QueryExpr> query_argument(PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"query", nullptr};
    PyObject* query = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:reduced_query", const_cast<char**>(keywords), &query)) {
        return std::nullopt;
    }
    if (!is_query_expr(query)) {
        bad_argument("reduced_query", "query", "PyQueryExpr", query);
        return std::nullopt;
    }
    return query_expr_of(query);
}

std::optional<KeywordQuery> keyword_conditions(const char* fname, PyObject* args, PyObject* kwargs) {
    if (PyTuple_GET_SIZE(args) != 0) {
        PyErr_Format(PyExc_TypeError, "%s() takes no positional arguments", fname);
        return std::nullopt;
    }
    return kwargs_to_query(kwargs);
}

}  // namespace tarnwick

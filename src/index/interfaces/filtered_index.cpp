#include "index/interfaces/filtered_index.hpp"

#include <atomic>
#include <exception>
#include <new>
#include <optional>
#include <string>
#include <utility>

#include "index/core/index.hpp"
#include "index/core/nested_tasks.hpp"
#include "index/core/object_lock.hpp"
#include "index/core/query/query_ops.hpp"
#include "index/core/stack_room.hpp"
#include "index/interfaces/collection.hpp"
#include "index/interfaces/index.hpp"
#include "index/interfaces/query.hpp"
#include "index/python_error.hpp"
#include "index/registration.hpp"

namespace tarnwick {
namespace {

// The view shares the engine's tables, whose item slots hold the objects
// through references the Index reports to the garbage collector; the view
// cannot report those too (one reference would count twice). Instead it holds
// the Index itself, a reference the collector sees: while the view is
// reachable, so are the Index and every object of its tables, and a cycle
// through a view (an object holding a view of its own index) is collectable.
struct FilteredIndexObject {
    PyObject_HEAD
    FilteredView* view;  // owned, never null once made
    PyObject* index;     // the Index the view came from; null once cleared
};

std::atomic<PyTypeObject*> the_type{nullptr};

FilteredIndexObject* as_view(PyObject* self) noexcept { return reinterpret_cast<FilteredIndexObject*>(self); }

const FilteredView& view_of(PyObject* self) noexcept { return *as_view(self)->view; }

bool set_native_error() {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const PythonError& e) {
        e.restore();
    } catch (const StackExhausted& e) {
        PyErr_SetString(PyExc_RecursionError, e.what());
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    }
    return false;
}

// ---- methods --------------------------------------------------------------------

PyObject* filtered_reduced(PyObject* self, PyObject* args, PyObject* kwargs) {
    if (PyTuple_GET_SIZE(args) != 0) {
        PyErr_SetString(PyExc_TypeError, "reduced() takes no positional arguments");
        return nullptr;
    }
    std::optional<FilteredView> result;
    try {
        std::optional<KeywordQuery> conditions = kwargs_to_query(kwargs);
        if (!conditions) return nullptr;
        const FilteredView& view = view_of(self);
        if (!run_without_gil([&] { result = view.reduced(*conditions); })) return nullptr;
    } catch (...) {
        return set_native_error(), nullptr;
    }
    return filtered_index_wrap(std::move(*result), as_view(self)->index);
}

PyObject* filtered_reduced_query(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"query", nullptr};
    PyObject* query = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:reduced_query", const_cast<char**>(keywords), &query)) {
        return nullptr;
    }
    if (!is_query_expr(query)) {
        PyErr_Format(PyExc_TypeError, "reduced_query() argument 'query' must be PyQueryExpr, not %.200s",
                     Py_TYPE(query)->tp_name);
        return nullptr;
    }
    std::optional<FilteredView> result;
    try {
        const QueryExpr expr = query_expr_of(query);
        const FilteredView& view = view_of(self);
        if (!run_without_gil([&] { result = view.reduced_query(expr); })) return nullptr;
    } catch (...) {
        return set_native_error(), nullptr;
    }
    return filtered_index_wrap(std::move(*result), as_view(self)->index);
}

PyObject* filtered_collect(PyObject* self, PyObject* args, PyObject* kwargs) {
    return view_collect(view_of(self), args, kwargs);
}

PyObject* filtered_value_counts(PyObject* self, PyObject* args, PyObject* kwargs) {
    return view_value_counts(view_of(self), args, kwargs);
}

Py_ssize_t filtered_length(PyObject* self) { return view_length(view_of(self)); }

int filtered_contains(PyObject* self, PyObject* obj) { return view_contains(view_of(self), obj); }

PyObject* filtered_iter(PyObject* self) { return view_iter(view_of(self)); }

PyObject* filtered_repr(PyObject* self) { return view_repr("FilteredIndex", filtered_length(self)); }

// A new Index holding exactly the view's objects that are still there, every
// attribute indexed (names starting with "_" too) from the objects' current
// values, the new index registered on each object.
PyObject* filtered_rebase(PyObject* self, PyObject*) {
    const FilteredView& view = view_of(self);
    PyObject* objects = nullptr;
    try {
        objects = present_objects_list(view.items, view.present(), view.epoch);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    if (!objects) return nullptr;
    PyObject* index = PyObject_CallNoArgs(reinterpret_cast<PyObject*>(index_type()));
    if (index) {
        // One interned name for every call: a fresh string per call would
        // take a new slot of the interpreter's method cache each time.
        static PyObject* add_many_name = nullptr;
        if (!add_many_name) add_many_name = PyUnicode_InternFromString("add_object_many");
        PyObject* done = add_many_name ? PyObject_CallMethodOneArg(index, add_many_name, objects) : nullptr;
        if (done) {
            Py_DECREF(done);
        } else {
            Py_CLEAR(index);
        }
    }
    Py_DECREF(objects);
    return index;
}

int filtered_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_view(self)->index);
    return 0;
}

// The tables stay: the view keeps working once the cycle is broken.
int filtered_clear(PyObject* self) {
    Py_CLEAR(as_view(self)->index);
    return 0;
}

void filtered_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    // Dropping the view may release the last hold on the engine's tables and
    // with them Python objects, whose finalizers may run here.
    delete std::exchange(as_view(self)->view, nullptr);
    Py_CLEAR(as_view(self)->index);
    type->tp_free(self);
    Py_DECREF(reinterpret_cast<PyObject*>(type));
}

PyMethodDef filtered_methods[] = {
    {"reduced", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(filtered_reduced)),
     METH_VARARGS | METH_KEYWORDS, "reduced($self, **kwargs)\n--\n\n"},
    {"reduced_query", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(filtered_reduced_query)),
     METH_VARARGS | METH_KEYWORDS, "reduced_query($self, query)\n--\n\n"},
    {"collect", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(filtered_collect)),
     METH_VARARGS | METH_KEYWORDS, "collect($self, /, *, order_by=None, descending=False, limit=None, offset=0)\n--\n\n"},
    {"value_counts", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(filtered_value_counts)),
     METH_VARARGS | METH_KEYWORDS, "value_counts($self, /, attr)\n--\n\n"},
    {"rebase", filtered_rebase, METH_NOARGS, "rebase($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot filtered_slots[] = {
    {Py_tp_doc, const_cast<char*>("")},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(filtered_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(filtered_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(filtered_clear)},
    {Py_tp_methods, filtered_methods},
    {Py_tp_repr, reinterpret_cast<void*>(filtered_repr)},
    {Py_tp_iter, reinterpret_cast<void*>(filtered_iter)},
    {Py_sq_length, reinterpret_cast<void*>(filtered_length)},
    {Py_sq_contains, reinterpret_cast<void*>(filtered_contains)},
    {0, nullptr},
};

PyType_Spec filtered_spec = {
    "Tarnwick.FilteredIndex",
    static_cast<int>(sizeof(FilteredIndexObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    filtered_slots,
};

}  // namespace

PyTypeObject* filtered_index_type() {
    return class_once(the_type, [] { return make_class(&filtered_spec); });
}

int register_filtered_index(PyObject* module) {
    PyTypeObject* type = filtered_index_type();
    if (!type) return -1;
    return add_to_module(module, "FilteredIndex", reinterpret_cast<PyObject*>(type));
}

PyObject* filtered_index_wrap(FilteredView view, PyObject* index) {
    PyTypeObject* type = filtered_index_type();
    if (!type) return nullptr;
    FilteredView* owned = nullptr;
    try {
        owned = new FilteredView(std::move(view));
    } catch (...) {
        return set_native_error(), nullptr;
    }
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) {
        delete owned;
        return nullptr;
    }
    as_view(self)->view = owned;
    as_view(self)->index = Py_XNewRef(index);
    return self;
}

PyObject* present_objects_list(const SharedItemTable& items, const Bitmap& ids, uint64_t epoch) {
    const auto capacity = static_cast<Py_ssize_t>(ids.cardinality());
    // Allocated before the table is locked: an allocation can start a garbage
    // collection, whose finalizers may need the table.
    PyObject* list = PyList_New(capacity);
    if (!list) return nullptr;
    Py_ssize_t filled = 0;
    {
        // A slot keeps its object alive while the table is read-locked, so
        // each object is referenced straight from its slot: no handle copies
        // and nothing in between that could run Python code.
        GilSafeReadGuard<RwLock> guard(items->lock());
        const ItemTable& table = items->get();
        ids.for_each([&](uint32_t id) {
            // An in-place reduction of the engine puts the placeholder back
            // into the slots of the objects it removed, and a new object may
            // have taken such a slot since.
            if (id < table.size() && held_since(table[id], epoch)) {
                PyList_SET_ITEM(list, filled++, Py_NewRef(table[id].python_handle.get()));
            }
        });
    }
    if (filled < capacity && PyList_SetSlice(list, filled, capacity, nullptr) < 0) Py_CLEAR(list);
    return list;
}

bool run_without_gil(const std::function<void()>& work) {
    enum class Failure { None, NotImplemented, NoMemory, Locked, Python, TooDeep, Other } failure = Failure::None;
    std::string what;
    std::optional<PythonError> raised;
    without_gil([&] {
        GateHold inside_gate;
        try {
            work();
        } catch (const QueryNotImplemented&) {
            failure = Failure::NotImplemented;
        } catch (const std::bad_alloc&) {
            failure = Failure::NoMemory;
        } catch (const ObjectLockedError& e) {
            failure = Failure::Locked;
            what = e.what();
        } catch (const PythonError& e) {
            failure = Failure::Python;
            raised = e;
        } catch (const StackExhausted& e) {
            failure = Failure::TooDeep;
            what = e.what();
        } catch (const std::exception& e) {
            failure = Failure::Other;
            what = e.what();
        }
        // Work queued on nested engines (an in-place reduction unlinks
        // nested objects) runs now that no lock is held.
        try {
            run_nested_tasks();
        } catch (const std::bad_alloc&) {
            if (failure == Failure::None) failure = Failure::NoMemory;
        } catch (const PythonError& e) {
            if (failure == Failure::None) {
                failure = Failure::Python;
                raised = e;
            }
        } catch (const std::exception& e) {
            if (failure == Failure::None) {
                failure = Failure::Other;
                what = e.what();
            }
        }
    });
    switch (failure) {
        case Failure::None:
            return true;
        case Failure::NotImplemented:
            PyErr_SetString(PyExc_NotImplementedError, "not yet implemented");
            return false;
        case Failure::NoMemory:
            PyErr_NoMemory();
            return false;
        case Failure::Locked:
            PyErr_SetString(PyExc_RuntimeError, what.c_str());
            return false;
        case Failure::Python:
            raised->restore();
            return false;
        case Failure::TooDeep:
            PyErr_SetString(PyExc_RecursionError, what.c_str());
            return false;
        case Failure::Other:
            PyErr_SetString(PyExc_SystemError, what.c_str());
            return false;
    }
    return false;
}

}  // namespace tarnwick

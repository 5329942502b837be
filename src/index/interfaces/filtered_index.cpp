#include "index/interfaces/filtered_index.hpp"

#include <atomic>
#include <memory>
#include <optional>
#include <utility>

#include "index/core/filtered_view.hpp"
#include "index/core/query/query_expr.hpp"
#include "index/interfaces/boundary.hpp"
#include "index/interfaces/collection.hpp"
#include "index/interfaces/index.hpp"
#include "index/interfaces/py_query_expr.hpp"
#include "index/interfaces/registration.hpp"

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

// ---- methods --------------------------------------------------------------------

PyObject* filtered_reduced(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        std::optional<KeywordQuery> conditions = keyword_conditions("reduced", args, kwargs);
        if (!conditions) return nullptr;
        const FilteredView& view = view_of(self);
        std::optional<FilteredView> result;
        if (!run_without_gil([&] { result = view.reduced(*conditions); })) return nullptr;
        return filtered_index_wrap(std::move(*result), as_view(self)->index);
    });
}

PyObject* filtered_reduced_query(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        std::optional<QueryExpr> expr = query_argument(args, kwargs);
        if (!expr) return nullptr;
        const FilteredView& view = view_of(self);
        std::optional<FilteredView> result;
        if (!run_without_gil([&] { result = view.reduced_query(*expr); })) return nullptr;
        return filtered_index_wrap(std::move(*result), as_view(self)->index);
    });
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
    OwnedRef objects =
        OwnedRef::steal(guarded([&] { return present_objects_list(view.items, view.still_members(), view.epoch); }));
    if (!objects) return nullptr;
    OwnedRef index = OwnedRef::steal(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(index_type())));
    if (!index) return nullptr;
    // One interned name for every call: a fresh string per call would take a
    // new slot of the interpreter's method cache each time.
    static PyObject* add_many_name = nullptr;
    if (!add_many_name) add_many_name = PyUnicode_InternFromString("add_object_many");
    if (!add_many_name) return nullptr;
    OwnedRef done = OwnedRef::steal(PyObject_CallMethodOneArg(index.get(), add_many_name, objects.get()));
    if (!done) return nullptr;
    return index.release();
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
    drain_pending_decrefs();  // what the view held last was parked (pyref.hpp)
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
    return guarded([&]() -> PyObject* {
        auto owned = std::make_unique<FilteredView>(std::move(view));
        PyObject* self = type->tp_alloc(type, 0);
        if (!self) return nullptr;
        as_view(self)->view = owned.release();
        as_view(self)->index = Py_XNewRef(index);
        return self;
    });
}

PyObject* present_objects_list(const SharedItemTable& items, const Bitmap& ids, uint64_t epoch) {
    const auto capacity = static_cast<Py_ssize_t>(ids.cardinality());
    // Allocated before the table is locked: an allocation can start a garbage
    // collection, whose finalizers may need the table.
    OwnedRef list = OwnedRef::steal(PyList_New(capacity));
    if (!list) return nullptr;
    Py_ssize_t filled = 0;
    // A slot keeps its object alive while the table is read-locked, so each
    // object is referenced straight from its slot: no handle copies and
    // nothing in between that could run Python code. An in-place reduction
    // puts the placeholder back into the slots of the objects it removed, and
    // a new object may have taken such a slot since (held_since).
    for_each_present_item(
        *items, ids,
        [&](uint32_t, const ItemSlot& item) {
            PyList_SET_ITEM(list.get(), filled++, Py_NewRef(item.object));
        },
        epoch);
    if (filled < capacity && PyList_SetSlice(list.get(), filled, capacity, nullptr) < 0) return nullptr;
    return list.release();
}

}  // namespace tarnwick

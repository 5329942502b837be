#include "index/interfaces/index.hpp"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <exception>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#if PY_VERSION_HEX < 0x030C0000
#include <structmember.h>
#endif

#include "index/core/filtered_view.hpp"
#include "index/core/index.hpp"
#include "index/core/nested_tasks.hpp"
#include "index/core/stack_room.hpp"
#include "index/core/stored_item.hpp"
#include "index/core/structures/paged_slots.hpp"
#include "index/indexable_record.hpp"
#include "index/interfaces/boundary.hpp"
#include "index/interfaces/collection.hpp"
#include "index/interfaces/docs.hpp"
#include "index/interfaces/filtered_index.hpp"
#include "index/interfaces/indexable.hpp"
#include "index/interfaces/index_debug.hpp"
#include "index/interfaces/index_merge.hpp"
#include "index/interfaces/py_query_expr.hpp"
#include "index/interfaces/registration.hpp"
#include "index/interfaces/watch.hpp"

namespace tarnwick {
namespace {

// Native state of an instance. Every field is read and written only with the
// GIL held.
struct IndexState {
    std::shared_ptr<IndexAPI> engine;
    // A second handle to each object reference this instance put into the
    // engine's item table (slot = object id). These are the references the
    // instance reports to the garbage collector: the engine's own copies can
    // change without the GIL, these cannot, so every pass of one collection
    // sees the same references. Paged like the item table, so that an index
    // of a few late objects does not cost a slot per id given out before.
    PagedSlots<PyHandle> held;
    // The instance's open watches (strong references): an open watch stays
    // registered while the program keeps no reference to it.
    std::vector<PyObject*> watches;
};

struct IndexObject {
    PyObject_HEAD
    PyObject* weakreflist;
    IndexState* state;
};

IndexState* state_of(PyObject* self) noexcept { return reinterpret_cast<IndexObject*>(self)->state; }

std::atomic<PyTypeObject*> index_class_cell{nullptr};

// Adds with `add`, all or nothing: if it fails part way (an allocation
// failure), the objects that were not members before are taken out again and
// the failure goes on. GIL released, no native lock held.
template <class Add>
void add_all_or_nothing(IndexAPI& engine, const std::vector<RecordPtr>& records, Add&& add) {
    std::vector<RecordPtr> fresh;
    fresh.reserve(records.size());
    for (const auto& record : records)
        if (!engine.is_member(record->id)) fresh.push_back(record);
    try {
        add();
        run_nested_tasks();
    } catch (...) {
        if (thread_exiting()) throw;
        try {
            engine.withdraw(fresh);
            run_nested_tasks();
        } catch (...) {
            if (thread_exiting()) throw;
            // Out of memory again: what is left is what a later in-place
            // reduction would clean up.
        }
        throw;
    }
}

void hold_reference(IndexState& state, uint32_t id, const PyHandle& handle) {
    state.held.make(id) = handle;
}

// The item an Index puts into its table for obj: a reference of its own and a
// share of the object's record.
std::optional<StoredItem> item_for(PyObject* obj) {
    const RecordPtr& record = indexable_record(obj);
    if (!record) {
        PyErr_SetString(PyExc_SystemError, "Indexable without a record");
        return std::nullopt;
    }
    return StoredItem{PyHandle::borrow(obj), record};
}

// The end of a method that changed the engine: the callbacks of the watches
// it changed run now. None, or null with the error set.
PyObject* finish_change() {
    if (deliver_watch_notices() < 0) return nullptr;
    Py_RETURN_NONE;
}

// After members were taken out: the watches let go of those they held. GIL
// held; false with the error set.
bool notice_departures(PyObject* self, IndexAPI& engine) {
    if (!engine.watched()) return true;
    Bitmap gone;
    if (!run_without_gil([&] { gone = engine.watched_departures(); })) return false;
    IndexState* state = state_of(self);
    std::vector<std::pair<uint32_t, PyHandle>> objects;
    gone.for_each([&](uint32_t id) {
        if (state && state->held[id]) objects.emplace_back(id, state->held[id]);
    });
    return notice_members(engine, objects);
}

// ---- construction, destruction, garbage collection ----------------------------

PyObject* index_new(PyTypeObject* cls, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {nullptr};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, ":Index", const_cast<char**>(keywords))) return nullptr;
    IndexState* state = nullptr;
    try {
        // Engines fill empty item slots with the placeholders, and engines
        // work without the GIL, which creating them needs.
        touch_placeholders();
        state = new IndexState{IndexAPI::create(), {}, {}};
    } catch (...) {
        if (thread_exiting()) throw;
        set_python_error(std::current_exception());
        return nullptr;
    }
    PyObject* self = cls->tp_alloc(cls, 0);
    if (!self) {
        delete state;
        return nullptr;
    }
    reinterpret_cast<IndexObject*>(self)->weakreflist = nullptr;
    reinterpret_cast<IndexObject*>(self)->state = state;
    return self;
}


// Releases the instance's references and engine; dropping them can run
// arbitrary Python code, so the instance is emptied first.
void drop_state(PyObject* self) {
    IndexState* state = std::exchange(reinterpret_cast<IndexObject*>(self)->state, nullptr);
    if (!state) return;
    PagedSlots<PyHandle> held = std::move(state->held);
    std::shared_ptr<IndexAPI> engine = std::move(state->engine);
    std::vector<PyObject*> watches = std::move(state->watches);
    delete state;
    for (PyObject* watch : watches) {
        watch_close(watch);
        Py_DECREF(watch);
    }
    held.clear();
    // Nobody reports the tree's container item references any more; they go
    // with the structures that hold them.
    if (engine) engine->gc_mirror->close();
    engine.reset();
}

int index_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    IndexState* state = state_of(self);
    if (!state) return 0;
    int failed = 0;
    state->held.for_each_slot([&](size_t, const PyHandle& h) {
        if (h && !failed) failed = visit(h.get(), arg);
    });
    if (failed) return failed;
    for (PyObject* watch : state->watches) Py_VISIT(watch);
    if (state->engine) return state->engine->gc_mirror->traverse(visit, arg);
    return 0;
}

int index_clear(PyObject* self) {
    drop_state(self);
    drain_pending_decrefs();
    return 0;
}

void index_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (reinterpret_cast<IndexObject*>(self)->weakreflist) PyObject_ClearWeakRefs(self);
    drop_state(self);
    type->tp_free(self);
    Py_DECREF(reinterpret_cast<PyObject*>(type));
    // The members and values this index held last were parked (pyref.hpp).
    drain_pending_decrefs();
}

// ---- methods ------------------------------------------------------------------

PyObject* index_add_object(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"py_ref", nullptr};
    PyObject* obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:add_object", const_cast<char**>(keywords), &obj)) return nullptr;
    if (!is_indexable(obj)) {
        PyErr_Format(PyExc_TypeError, "add_object() argument 'py_ref' must be Indexable, not %.200s",
                     Py_TYPE(obj)->tp_name);
        return nullptr;
    }
    std::shared_ptr<IndexAPI> engine = index_engine(self);
    if (!engine) return nullptr;
    return guarded([&]() -> PyObject* {
        std::optional<StoredItem> item = item_for(obj);
        if (!item) return nullptr;
        if (!run_without_gil([&] { add_all_or_nothing(*engine, {item->record}, [&] { engine->add_object(*item); }); }))
            return nullptr;
        if (IndexState* state = state_of(self)) hold_reference(*state, item->record->id, item->python_handle);
        if (!notice_members(*engine, {{item->record->id, item->python_handle}})) return nullptr;
        return finish_change();
    });
}

void set_objs_error(PyObject* offending, bool element) {
    if (element) {
        PyErr_Format(PyExc_TypeError, "add_object_many() argument 'objs' must hold only Indexable objects, not %.200s",
                     Py_TYPE(offending)->tp_name);
    } else {
        PyErr_Format(PyExc_TypeError, "add_object_many() argument 'objs' must be an iterable of Indexable, not %.200s",
                     Py_TYPE(offending)->tp_name);
    }
}

// The most items add_object_many reserves room for on the word of a length.
constexpr size_t MAX_RESERVED_BATCH = size_t(1) << 16;

PyObject* index_add_object_many(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"objs", nullptr};
    PyObject* objs = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:add_object_many", const_cast<char**>(keywords), &objs)) {
        return nullptr;
    }
    // A str iterates as strs, never Indexable objects; anything else that
    // iterates is read once, to its end, before anything is added.
    if (PyUnicode_Check(objs) || (!Py_TYPE(objs)->tp_iter && !PySequence_Check(objs))) {
        set_objs_error(objs, false);
        return nullptr;
    }
    std::shared_ptr<IndexAPI> engine = index_engine(self);
    if (!engine) return nullptr;
    return guarded([&]() -> PyObject* {
        // The reported length is only a hint, and may be far above what
        // iteration yields: beyond a bound the batch grows as it fills.
        const Py_ssize_t hint = PyObject_LengthHint(objs, 0);
        if (hint < 0) return nullptr;
        std::vector<StoredItem> batch;
        batch.reserve(std::min(static_cast<size_t>(hint), MAX_RESERVED_BATCH));
        {
            // Gone before the GIL is released: a thread ended at interpreter
            // exit unwinds from the engine work without the GIL.
            OwnedRef it = OwnedRef::steal(PyObject_GetIter(objs));
            if (!it) return nullptr;
            while (OwnedRef obj = OwnedRef::steal(PyIter_Next(it.get()))) {
                if (!is_indexable(obj.get())) {
                    set_objs_error(obj.get(), true);
                    return nullptr;
                }
                std::optional<StoredItem> item = item_for(obj.get());
                if (!item) return nullptr;
                batch.push_back(std::move(*item));
            }
        }
        if (PyErr_Occurred()) return nullptr;
        std::vector<std::pair<uint32_t, PyHandle>> references;
        std::vector<RecordPtr> records;
        references.reserve(batch.size());
        records.reserve(batch.size());
        for (const StoredItem& item : batch) {
            references.emplace_back(item.record->id, item.python_handle);
            records.push_back(item.record);
        }
        if (!run_without_gil([&] {
                add_all_or_nothing(*engine, records, [&] { engine->add_object_many(std::move(batch)); });
            })) {
            return nullptr;
        }
        index_hold_references(self, references);
        if (engine->watched()) {
            std::sort(references.begin(), references.end(),
                      [](const auto& a, const auto& b) { return a.first < b.first; });
            if (!notice_members(*engine, references)) return nullptr;
        }
        const size_t batch_size = references.size();
        std::vector<std::pair<uint32_t, PyHandle>>().swap(references);
        std::vector<RecordPtr>().swap(records);
        // The free pages go back once this call's own lists are gone too:
        // at a million objects they are some forty bytes an object.
        without_gil([&] { engine->return_free_pages(batch_size); });
        return finish_change();
    });
}

// A view of every member for the collection methods; nothing, with the
// error set, once the instance was cleared.
std::optional<FilteredView> whole_view(PyObject* self) {
    std::shared_ptr<IndexAPI> engine = index_engine(self);
    if (!engine) return std::nullopt;
    return engine->whole();
}

PyObject* index_collect(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        std::optional<FilteredView> view = whole_view(self);
        return view ? view_collect(*view, args, kwargs) : nullptr;
    });
}

PyObject* index_value_counts(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        std::optional<FilteredView> view = whole_view(self);
        return view ? view_value_counts(*view, args, kwargs) : nullptr;
    });
}

Py_ssize_t index_length(PyObject* self) {
    std::shared_ptr<IndexAPI> engine = index_engine(self);
    if (!engine) return -1;
    Py_ssize_t count = -1;
    const int status = guarded([&] {
        count = static_cast<Py_ssize_t>(engine->member_count());
        return 0;
    });
    return status < 0 ? -1 : count;
}

int index_contains(PyObject* self, PyObject* obj) {
    if (!is_indexable(obj)) return 0;
    std::shared_ptr<IndexAPI> engine = index_engine(self);
    if (!engine) return -1;
    const RecordPtr& record = indexable_record(obj);
    if (!record) return 0;
    return guarded([&] { return engine->holds(record->id, obj) ? 1 : 0; });
}

PyObject* index_iter(PyObject* self) {
    return guarded([&]() -> PyObject* {
        std::optional<FilteredView> view = whole_view(self);
        return view ? view_iter(*view) : nullptr;
    });
}

PyObject* index_repr(PyObject* self) { return view_repr("Index", index_length(self)); }

// Lets go of the instance's own reference to an object it took out.
void release_removed(PyObject* self, uint32_t id) {
    IndexState* state = state_of(self);
    if (!state) return;
    PyHandle* slot = state->held.find(id);
    if (!slot) return;
    PyHandle released = std::move(*slot);
}

void set_key_error(PyObject* key) {
    PyObject* args = PyTuple_Pack(1, key);
    if (!args) return;
    PyErr_SetObject(PyExc_KeyError, args);
    Py_DECREF(args);
}

// remove (missing_ok false) and discard (true).
PyObject* take_out(PyObject* self, PyObject* obj, bool missing_ok) {
    std::shared_ptr<IndexAPI> engine = index_engine(self);
    if (!engine) return nullptr;
    const int held = index_contains(self, obj);
    if (held < 0) return nullptr;
    bool removed = false;
    if (held) {
        const RecordPtr& record = indexable_record(obj);
        if (!run_without_gil([&] { removed = engine->remove_object(record); })) return nullptr;
        if (removed && !notice_members(*engine, {{record->id, PyHandle::borrow(obj)}})) return nullptr;
        if (removed) release_removed(self, record->id);
    }
    if (!removed && !missing_ok) {
        set_key_error(obj);
        return nullptr;
    }
    return finish_change();
}

PyObject* index_remove(PyObject* self, PyObject* obj) { return take_out(self, obj, false); }

PyObject* index_discard(PyObject* self, PyObject* obj) { return take_out(self, obj, true); }

PyObject* index_clear_members(PyObject* self, PyObject*) {
    std::shared_ptr<IndexAPI> engine = index_engine(self);
    if (!engine) return nullptr;
    if (!run_without_gil([&] { engine->remove_all(); })) return nullptr;
    return guarded([&]() -> PyObject* {
        if (!notice_departures(self, *engine)) return nullptr;
        index_release_non_members(self);
        return finish_change();
    });
}

// Pickled and copied as the class and its members: unpickling adds them to
// a new instance in one batch.
PyObject* index_pickle(PyObject* self, PyObject*) {
    OwnedRef no_args = OwnedRef::steal(PyTuple_New(0));
    if (!no_args) return nullptr;
    PyObject* members = index_collect(self, no_args.get(), nullptr);
    if (!members) return nullptr;
    return Py_BuildValue("(O()N)", reinterpret_cast<PyObject*>(Py_TYPE(self)), members);
}

PyObject* index_setstate(PyObject* self, PyObject* state) {
    OwnedRef args = OwnedRef::steal(PyTuple_Pack(1, state));
    if (!args) return nullptr;
    return index_add_object_many(self, args.get(), nullptr);
}

// ---- filtering ------------------------------------------------------------------

// The view of the members that satisfy the keyword conditions of method
// `fname`; nothing, with the Python error set, on a bad argument or failure.
std::optional<FilteredView> keyword_view(const char* fname, PyObject* self, PyObject* args, PyObject* kwargs) {
    std::optional<KeywordQuery> conditions = keyword_conditions(fname, args, kwargs);
    if (!conditions) return std::nullopt;
    std::shared_ptr<IndexAPI> engine = index_engine(self);
    if (!engine) return std::nullopt;
    std::optional<FilteredView> view;
    if (!run_without_gil([&] { view = engine->reduced(*conditions); })) return std::nullopt;
    return view;
}

PyObject* index_get_by_attribute(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        std::optional<FilteredView> found = keyword_view("get_by_attribute", self, args, kwargs);
        return found ? present_objects_list(found->items, found->ids, found->epoch) : nullptr;
    });
}

PyObject* index_reduced(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        std::optional<FilteredView> view = keyword_view("reduced", self, args, kwargs);
        return view ? filtered_index_wrap(std::move(*view), self) : nullptr;
    });
}

PyObject* index_reduce(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        std::optional<KeywordQuery> conditions = keyword_conditions("reduce", args, kwargs);
        if (!conditions) return nullptr;
        std::shared_ptr<IndexAPI> engine = index_engine(self);
        if (!engine) return nullptr;
        if (!run_without_gil([&] { engine->reduce(*conditions); })) return nullptr;
        if (!notice_departures(self, *engine)) return nullptr;
        index_release_non_members(self);
        return finish_change();
    });
}

PyObject* index_reduced_query(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        std::optional<QueryExpr> expr = query_argument(args, kwargs);
        if (!expr) return nullptr;
        std::shared_ptr<IndexAPI> engine = index_engine(self);
        if (!engine) return nullptr;
        std::optional<FilteredView> view;
        if (!run_without_gil([&] { view = engine->reduced_query(*expr); })) return nullptr;
        return filtered_index_wrap(std::move(*view), self);
    });
}

PyObject* index_watch(PyObject* self, PyObject* args, PyObject* kwargs) {
    std::shared_ptr<IndexAPI> engine = index_engine(self);
    if (!engine) return nullptr;
    return watch_open(self, engine, args, kwargs);
}

// ---- the class ------------------------------------------------------------------

PyMethodDef index_methods[] = {
    {"add_object", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(index_add_object)),
     METH_VARARGS | METH_KEYWORDS, "add_object($self, py_ref)\n--\n\n"},
    {"add_object_many", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(index_add_object_many)),
     METH_VARARGS | METH_KEYWORDS, "add_object_many($self, objs)\n--\n\n"},
    {"collect", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(index_collect)),
     METH_VARARGS | METH_KEYWORDS, "collect($self, /, *, order_by=None, descending=False, limit=None, offset=0)\n--\n\n"},
    {"value_counts", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(index_value_counts)),
     METH_VARARGS | METH_KEYWORDS, "value_counts($self, /, attr)\n--\n\n"},
    {"remove", index_remove, METH_O, "remove($self, obj, /)\n--\n\n"},
    {"discard", index_discard, METH_O, "discard($self, obj, /)\n--\n\n"},
    {"clear", index_clear_members, METH_NOARGS, "clear($self, /)\n--\n\n"},
    {"__reduce__", index_pickle, METH_NOARGS, nullptr},
    {"__setstate__", index_setstate, METH_O, nullptr},
    {"union_with", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(index_union_with)),
     METH_VARARGS | METH_KEYWORDS, "union_with($self, other)\n--\n\n"},
    {"get_by_attribute", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(index_get_by_attribute)),
     METH_VARARGS | METH_KEYWORDS, "get_by_attribute($self, **kwargs)\n--\n\n"},
    {"reduce", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(index_reduce)),
     METH_VARARGS | METH_KEYWORDS, "reduce($self, **kwargs)\n--\n\n"},
    {"reduced", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(index_reduced)),
     METH_VARARGS | METH_KEYWORDS, "reduced($self, **kwargs)\n--\n\n"},
    {"reduced_query", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(index_reduced_query)),
     METH_VARARGS | METH_KEYWORDS, "reduced_query($self, query)\n--\n\n"},
    {"watch", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(index_watch)), METH_VARARGS | METH_KEYWORDS,
     "watch($self, query, callback=None)\n--\n\n"},
    // Private hooks for the test suite; not part of the class's interface.
    {"_debug_eq", index_debug_eq, METH_VARARGS, nullptr},
    {"_debug_members", index_debug_members, METH_NOARGS, nullptr},
    {"_debug_nested_members", index_debug_nested_members, METH_O, nullptr},
    {"_debug_holders", index_debug_holders, METH_VARARGS, nullptr},
    {"_debug_map_stats", index_debug_map_stats, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef index_members[] = {
#if PY_VERSION_HEX >= 0x030C0000
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(IndexObject, weakreflist), Py_READONLY, nullptr},
#else
    {"__weaklistoffset__", T_PYSSIZET, offsetof(IndexObject, weakreflist), READONLY, nullptr},
#endif
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot index_slots[] = {
    {Py_tp_doc, const_cast<char*>("Index()\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(index_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(index_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(index_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(index_clear)},
    {Py_tp_methods, index_methods},
    {Py_tp_members, index_members},
    {Py_tp_repr, reinterpret_cast<void*>(index_repr)},
    {Py_tp_iter, reinterpret_cast<void*>(index_iter)},
    {Py_sq_length, reinterpret_cast<void*>(index_length)},
    {Py_sq_contains, reinterpret_cast<void*>(index_contains)},
    {0, nullptr},
};

// The dotted name gives the class its module at creation; __name__ and
// __qualname__ stay "Index".
PyType_Spec index_spec = {
    "Tarnwick.Index",
    static_cast<int>(sizeof(IndexObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    index_slots,
};

}  // namespace

PyTypeObject* index_type() {
    return class_once(index_class_cell, [] {
        document_class(index_spec);
        return PyType_FromSpec(&index_spec);
    });
}

bool is_index(PyObject* obj) noexcept {
    PyTypeObject* t = index_class_cell.load(std::memory_order_acquire);
    return t && PyObject_TypeCheck(obj, t);
}

std::shared_ptr<IndexAPI> index_engine(PyObject* index) {
    IndexState* state = state_of(index);
    if (!state || !state->engine) {
        PyErr_SetString(PyExc_RuntimeError, "the Index was cleared by the garbage collector");
        return nullptr;
    }
    return state->engine;
}

void index_hold_references(PyObject* index, const std::vector<std::pair<uint32_t, PyHandle>>& references) {
    if (IndexState* state = state_of(index))
        for (const auto& [id, handle] : references) hold_reference(*state, id, handle);
}

void index_release_non_members(PyObject* index) {
    IndexState* state = state_of(index);
    if (!state || !state->engine) return;
    const Bitmap members = state->engine->members();
    std::vector<PyHandle> released;
    state->held.for_each_slot([&](size_t id, PyHandle& h) {
        if (h && !members.contains(static_cast<uint32_t>(id))) released.push_back(std::move(h));
    });
    // Released here, once the instance no longer lists them.
}

void index_keep_watch(PyObject* index, PyObject* watch) {
    if (IndexState* state = state_of(index)) state->watches.push_back(Py_NewRef(watch));
}

void index_forget_watch(PyObject* index, PyObject* watch) {
    IndexState* state = state_of(index);
    if (!state) return;
    auto it = std::find(state->watches.begin(), state->watches.end(), watch);
    if (it == state->watches.end()) return;
    state->watches.erase(it);
    Py_DECREF(watch);
}

int register_index(PyObject* module) {
    PyTypeObject* type = index_type();
    if (!type) return -1;
    return add_to_module(module, "Index", reinterpret_cast<PyObject*>(type));
}

}  // namespace tarnwick

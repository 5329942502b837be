#include "index/interfaces/watch.hpp"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <exception>
#include <string>
#include <utility>

#if PY_VERSION_HEX < 0x030C0000
#include <structmember.h>
#endif

#include "index/core/filtered_view.hpp"
#include "index/core/index.hpp"
#include "index/core/query/query_expr.hpp"
#include "index/core/watch.hpp"
#include "index/indexable_record.hpp"
#include "index/interfaces/boundary.hpp"
#include "index/interfaces/collection.hpp"
#include "index/interfaces/docs.hpp"
#include "index/interfaces/index.hpp"
#include "index/interfaces/py_query_expr.hpp"
#include "index/interfaces/registration.hpp"

namespace tarnwick {
namespace {

// Native state of an open watch; the instance holds none once closed. Read
// and written with the GIL held.
struct WatchState {
    std::shared_ptr<Watch> watch;
    std::shared_ptr<IndexAPI> engine;
    PyObject* index;  // strong: an open watch keeps its index
};

struct WatchObject {
    PyObject_HEAD
    PyObject* weakreflist;
    WatchState* state;
};

WatchState* state_of(PyObject* self) noexcept { return reinterpret_cast<WatchObject*>(self)->state; }

std::atomic<PyTypeObject*> watch_class_cell{nullptr};

// The open state, or null with ValueError set.
WatchState* open_state(PyObject* self) {
    WatchState* state = state_of(self);
    if (!state) PyErr_SetString(PyExc_ValueError, "operation on a closed watch");
    return state;
}

// The live set as it is now.
Bitmap live_ids(const WatchState& state) {
    GilSafeGuard<Mutex> g(state.watch->live.lock());
    return state.watch->live.get().clone();
}

// ---- lifetime -----------------------------------------------------------------

int watch_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    return watch_traverse_refs(self, visit, arg);
}

int watch_clear(PyObject* self) {
    watch_close(self);
    return 0;
}

void watch_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (reinterpret_cast<WatchObject*>(self)->weakreflist) PyObject_ClearWeakRefs(self);
    watch_close(self);
    type->tp_free(self);
    Py_DECREF(reinterpret_cast<PyObject*>(type));
    drain_pending_decrefs();  // the callback, if held last, was parked (pyref.hpp)
}

// ---- methods --------------------------------------------------------------------

PyObject* watch_close_method(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        watch_close(self);
        Py_RETURN_NONE;
    });
}

PyObject* watch_enter(PyObject* self, PyObject*) {
    if (!open_state(self)) return nullptr;
    return Py_NewRef(self);
}

PyObject* watch_exit(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        watch_close(self);
        Py_RETURN_FALSE;
    });
}

Py_ssize_t watch_length(PyObject* self) {
    WatchState* state = open_state(self);
    if (!state) return -1;
    Py_ssize_t count = -1;
    const int status = guarded([&] {
        GilSafeGuard<Mutex> g(state->watch->live.lock());
        count = static_cast<Py_ssize_t>(state->watch->live.get().cardinality());
        return 0;
    });
    return status < 0 ? -1 : count;
}

int watch_contains(PyObject* self, PyObject* obj) {
    WatchState* state = open_state(self);
    if (!state) return -1;
    if (!is_indexable(obj)) return 0;
    const RecordPtr& record = indexable_record(obj);
    if (!record) return 0;
    return guarded([&] {
        {
            GilSafeGuard<Mutex> g(state->watch->live.lock());
            if (!state->watch->live.get().contains(record->id)) return 0;
        }
        return state->engine->holds(record->id, obj) ? 1 : 0;
    });
}

PyObject* watch_iter(PyObject* self) {
    WatchState* state = open_state(self);
    if (!state) return nullptr;
    return guarded([&]() -> PyObject* { return view_iter(state->engine->view_of_ids(live_ids(*state))); });
}

PyObject* watch_collect(PyObject* self, PyObject* args, PyObject* kwargs) {
    WatchState* state = open_state(self);
    if (!state) return nullptr;
    return guarded(
        [&]() -> PyObject* { return view_collect(state->engine->view_of_ids(live_ids(*state)), args, kwargs); });
}

PyObject* watch_repr(PyObject* self) {
    if (!state_of(self)) return PyUnicode_FromString("<Tarnwick.Watch closed>");
    return view_repr("Watch", watch_length(self));
}

PyObject* watch_get_closed(PyObject* self, void*) { return PyBool_FromLong(state_of(self) == nullptr); }

PyMethodDef watch_methods[] = {
    {"close", watch_close_method, METH_NOARGS, "close($self, /)\n--\n\n"},
    {"collect", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(watch_collect)),
     METH_VARARGS | METH_KEYWORDS, "collect($self, /, *, order_by=None, descending=False, limit=None, offset=0)\n--\n\n"},
    {"__enter__", watch_enter, METH_NOARGS, "__enter__($self, /)\n--\n\n"},
    {"__exit__", watch_exit, METH_VARARGS, "__exit__($self, *exc_info, /)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef watch_getset[] = {
    {"closed", watch_get_closed, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef watch_members[] = {
#if PY_VERSION_HEX >= 0x030C0000
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(WatchObject, weakreflist), Py_READONLY, nullptr},
#else
    {"__weaklistoffset__", T_PYSSIZET, offsetof(WatchObject, weakreflist), READONLY, nullptr},
#endif
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot watch_slots[] = {
    {Py_tp_members, watch_members},
    {Py_tp_doc, const_cast<char*>("")},
    {Py_tp_dealloc, reinterpret_cast<void*>(watch_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(watch_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(watch_clear)},
    {Py_tp_methods, watch_methods},
    {Py_tp_getset, watch_getset},
    {Py_tp_repr, reinterpret_cast<void*>(watch_repr)},
    {Py_tp_iter, reinterpret_cast<void*>(watch_iter)},
    {Py_sq_length, reinterpret_cast<void*>(watch_length)},
    {Py_sq_contains, reinterpret_cast<void*>(watch_contains)},
    {0, nullptr},
};

// Made only by Index.watch: no tp_new, so the class cannot be called.
PyType_Spec watch_spec = {
    "Tarnwick.Watch",
    static_cast<int>(sizeof(WatchObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    watch_slots,
};

PyTypeObject* watch_type() {
    return class_once(watch_class_cell, [] {
        document_class(watch_spec);
        return PyType_FromSpec(&watch_spec);
    });
}

// The query of Index.watch: a PyQueryExpr, or a dict of keyword equalities
// as reduced() takes them.
std::optional<QueryExpr> watch_query(PyObject* query) {
    if (is_query_expr(query)) return query_expr_of(query);
    if (!PyDict_Check(query)) {
        PyErr_Format(PyExc_TypeError, "watch() argument 'query' must be PyQueryExpr or dict, not %.200s",
                     Py_TYPE(query)->tp_name);
        return std::nullopt;
    }
    std::optional<KeywordQuery> conditions = kwargs_to_query(query);
    if (!conditions) return std::nullopt;
    return QueryExpr(QueryExpr::And{equality_tests(*conditions)});
}

// The object of an id among pairs ascending by id; null when absent.
PyHandle handle_among(const std::vector<std::pair<uint32_t, PyHandle>>& objects, uint32_t id) {
    auto it = std::lower_bound(objects.begin(), objects.end(), id,
                               [](const std::pair<uint32_t, PyHandle>& p, uint32_t v) { return p.first < v; });
    return it != objects.end() && it->first == id ? it->second : PyHandle();
}

// The callbacks of the notices queued since the last delivery, called in order
// until none is left (a callback's own changes queue more).
void deliver_all() {
    while (watch_notices_pending()) {
        std::vector<WatchNotice> batch = take_watch_notices();
        for (WatchNotice& notice : batch) {
            if (notice.watch->closed() || !notice.watch->callback) continue;
            // A copy: the callback may close its own watch.
            const PyHandle callback = notice.watch->callback;
            set_watch_delivery_depth(notice.depth);
            PyObject* result = PyObject_CallFunctionObjArgs(callback.get(), notice.object.get(),
                                                            notice.matched ? Py_True : Py_False, nullptr);
            set_watch_delivery_depth(0);
            if (result) Py_DECREF(result);
            else PyErr_WriteUnraisable(callback.get());
        }
    }
}

}  // namespace

PyObject* watch_open(PyObject* index, const std::shared_ptr<IndexAPI>& engine, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"query", "callback", nullptr};
    PyObject* query = nullptr;
    PyObject* callback = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:watch", const_cast<char**>(keywords), &query, &callback))
        return nullptr;
    if (callback != Py_None && !PyCallable_Check(callback)) {
        PyErr_Format(PyExc_TypeError, "watch() argument 'callback' must be callable or None, not %.200s",
                     Py_TYPE(callback)->tp_name);
        return nullptr;
    }
    PyTypeObject* type = watch_type();
    if (!type) return nullptr;
    return guarded([&]() -> PyObject* {
        std::optional<QueryExpr> expr = watch_query(query);
        if (!expr) return nullptr;
        PyHandle held_callback = callback == Py_None ? PyHandle() : PyHandle::borrow(callback);
        std::shared_ptr<Watch> watch;
        if (!run_without_gil([&] { watch = engine->open_watch(std::move(*expr), held_callback); })) return nullptr;
        PyObject* self = type->tp_alloc(type, 0);
        if (!self) {
            engine->close_watch(*watch);
            watch->callback = PyHandle();
            return nullptr;
        }
        reinterpret_cast<WatchObject*>(self)->weakreflist = nullptr;
        reinterpret_cast<WatchObject*>(self)->state = new WatchState{watch, engine, Py_NewRef(index)};
        index_keep_watch(index, self);
        return self;
    });
}

void watch_close(PyObject* self) {
    WatchState* state = std::exchange(reinterpret_cast<WatchObject*>(self)->state, nullptr);
    if (!state) return;
    state->engine->close_watch(*state->watch);
    // Released once the instance no longer refers to them: dropping them can
    // run arbitrary code.
    PyHandle callback = std::move(state->watch->callback);
    PyObject* index = state->index;
    delete state;
    index_forget_watch(index, self);
    Py_DECREF(index);
}

int watch_traverse_refs(PyObject* self, visitproc visit, void* arg) {
    WatchState* state = state_of(self);
    if (!state) return 0;
    Py_VISIT(state->index);
    if (state->watch->callback) Py_VISIT(state->watch->callback.get());
    return 0;
}

bool notice_assignment(const std::vector<std::shared_ptr<IndexAPI>>& engines, uint32_t id, uint32_t attribute,
                       PyObject* obj) {
    // Only an engine with a watch that mentions the attribute, or a nested
    // engine below a watched one, has anything to test.
    const auto concerned = [attribute](const IndexAPI& engine) { return engine.watched(attribute); };
    if (std::none_of(engines.begin(), engines.end(), [&](const auto& e) { return concerned(*e); })) return true;
    const PyHandle object = PyHandle::borrow(obj);
    const Bitmap ids{id};
    return run_without_gil([&] {
        for (const std::shared_ptr<IndexAPI>& engine : engines)
            if (concerned(*engine))
                engine->recheck_watches(ids, attribute, [&object](uint32_t) { return object; });
    });
}

bool notice_members(IndexAPI& engine, const std::vector<std::pair<uint32_t, PyHandle>>& objects) {
    if (objects.empty() || !engine.watched()) return true;
    Bitmap ids;
    for (const auto& [id, handle] : objects) ids.add(id);
    return run_without_gil([&] {
        engine.recheck_watches(ids, std::nullopt, [&objects](uint32_t id) { return handle_among(objects, id); });
    });
}

int deliver_watch_notices() {
    // Python code the engine runs while it holds locks (an item's __hash__,
    // say) may assign: its notices wait for the entry point that holds them.
    if (!watch_notices_pending() || native_locks_held != 0) return 0;
    if (watch_delivery_depth() > 0) {
        // Inside a callback: its changes notify once it returns, unless that
        // would make the chain too deep.
        if (watch_delivery_depth() < MAX_WATCH_DEPTH) return 0;
        take_watch_notices();
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_RecursionError, "watch callbacks changing watched objects nested more than %u deep",
                         MAX_WATCH_DEPTH);
        return -1;
    }
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* pending = PyErr_GetRaisedException();
    deliver_all();
    PyErr_SetRaisedException(pending);
#else
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    deliver_all();
    PyErr_Restore(type, value, traceback);
#endif
    return 0;
}

}  // namespace tarnwick

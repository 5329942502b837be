#include "index/interfaces/indexable.hpp"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <functional>
#include <mutex>
#include <new>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <utility>
#include <vector>

#if PY_VERSION_HEX < 0x030C0000
#include <structmember.h>
#endif

#include "index/core/index.hpp"
#include "index/core/nested_tasks.hpp"
#include "index/core/object_lock.hpp"
#include "index/core/structures/id_alloc.hpp"
#include "index/core/structures/string_interner.hpp"
#include "index/interfaces/attribute_name.hpp"
#include "index/interfaces/boundary.hpp"
#include "index/interfaces/pickling.hpp"
#include "index/interfaces/registration.hpp"
#include "index/interfaces/watch.hpp"
#include "index/python_error.hpp"
#include "index/types.hpp"

namespace tarnwick {

// ---- the Python object ------------------------------------------------------

namespace {

RecordPtr& record_slot(PyObject* self) noexcept { return indexable_record(self); }

void set_bad_name(PyObject* name, const char* method) {
    PyErr_Format(PyExc_TypeError, "%s() argument 'name' must be str, not %.200s", method, Py_TYPE(name)->tp_name);
}

// ---- attribute assignment ---------------------------------------------------

// How many attributes objects of a class end up with, learnt from the objects
// last filled, in a few slots chosen by the class's address (a class another
// one evicts starts over; a stale class address only misleads a guess).
// Objects are mostly filled one at a time, and objects of one class mostly
// carry the same attributes: once two objects in a row ended with the same
// count, a fresh object's first pair makes room for that many at once
// instead of growing its block step by step, and the block fits them
// exactly. A class whose objects differ in count keeps growing as usual, and
// so do objects filled attribute by attribute across many objects (each was
// last seen with one pair).
class ShapeHints {
public:
    // The room for the first pair of a fresh object of cls.
    uint32_t first_room(const PyTypeObject* cls) noexcept {
        Slot& slot = slots_[at(cls)];
        if (slot.cls.load(std::memory_order_relaxed) != cls) return 0;
        const uint32_t ended = slot.pairs.load(std::memory_order_relaxed);
        const uint32_t before = slot.ended_before.exchange(ended, std::memory_order_relaxed);
        return ended == before ? ended : 0;
    }
    // Records that an object of cls holds `pairs` pairs now.
    void note(const PyTypeObject* cls, size_t pairs) noexcept {
        Slot& slot = slots_[at(cls)];
        if (slot.cls.load(std::memory_order_relaxed) != cls) {
            slot.cls.store(cls, std::memory_order_relaxed);
            slot.ended_before.store(0, std::memory_order_relaxed);
        }
        slot.pairs.store(static_cast<uint32_t>(std::min<size_t>(pairs, AttributeMapData::SMALL_CAPACITY)),
                         std::memory_order_relaxed);
    }

private:
    static constexpr size_t SLOTS = 64;
    static size_t at(const PyTypeObject* cls) noexcept {
        const auto bits = reinterpret_cast<uintptr_t>(cls);
        return ((bits >> 4) ^ (bits >> 10)) % SLOTS;
    }
    // Relaxed atomics: a free-threaded interpreter may write a slot from two
    // threads; a torn slot only gives a wrong guess.
    struct Slot {
        std::atomic<const PyTypeObject*> cls{nullptr};
        std::atomic<uint32_t> pairs{0};         // of the object of cls that last gained one
        std::atomic<uint32_t> ended_before{0};  // what the object before that one ended with
    };
    Slot slots_[SLOTS];
};

ShapeHints shape_hints;

// Stores `value` under `attr_id`, first updating every engine the object
// belongs to. Returns the value it replaced, to be released by the caller
// once no lock is held.
//
// Every write to an attribute map happens here or in tp_clear, always with
// the GIL held; engines only read maps. The garbage collector's traversal
// relies on that (see indexable_traverse).
// Without a value, the attribute is taken out again (undoing its first
// assignment), from the engines and from the map.
std::optional<PyValue> store_attribute(PyObject* self, const IndexableRecord& record, uint32_t attr_id,
                                       bool private_name, std::optional<PyValue> value, bool& engines_updated,
                                       std::vector<std::shared_ptr<IndexAPI>>* touched = nullptr) {
    IndexMetaList metas = record.index_metas();
    AttributeMap map = record.attribute_map();
    // The instance's copy of the map's word is taken again before the
    // replaced value (whose release may run Python code) leaves this call.
    auto write = [&]() -> std::optional<PyValue> {
        lock_releasing_gil(map.lock());  // the GIL is held here
        MutexGuard map_guard(map.lock(), std::adopt_lock);
        AttributeMapData& data = map.get();
        std::optional<PyValue> old;
        if (value) {
            const PyTypeObject* cls = Py_TYPE(self);
            const bool first = data.empty();
            const size_t before = data.len();
            old = data.exchange(attr_id, std::move(*value), first ? shape_hints.first_room(cls) : 0);
            if (data.len() != before) shape_hints.note(cls, data.len());
        } else {
            old = data.take(attr_id);
        }
        refresh_attribute_cache(self);
        return old;
    };
    // The engine list is locked for the whole assignment. A thread that
    // already holds some is running Python code called from indexing (an
    // item's __hash__), and must not wait at all (see object_lock.hpp):
    // ObjectLockedError instead. Others wait with the GIL released.
    ObjectLocks metas_guard;
    if (holds_object_locks()) {
        metas_guard.add(metas.lock());
    } else {
        lock_releasing_gil(metas.lock());
        if (metas.get().empty()) {
            // No engine to update, so no Python code runs while the list is
            // held: it need not be recorded among the thread's object locks
            // (the common case of an object being filled before indexing).
            MutexGuard list(metas.lock(), std::adopt_lock);
            return write();
        }
        metas_guard.adopt(metas.lock());
    }

    // With no engine to update there is no need to give up the GIL. A name
    // starting with "_" concerns only the engines that indexed its value
    // (asking takes a leaf lock, whose holders never wait for the GIL).
    const IndexMetaVec& listed = metas.get();
    const bool update = std::any_of(listed.begin(), listed.end(), [&](const IndexMeta& meta) {
        if (!private_name) return true;
        std::shared_ptr<IndexAPI> engine = meta.lock();
        return engine && engine->indexes_private(record.id, attr_id);
    });
    if (update) {
        // The engines are visited with the GIL released; a copy of the weak
        // references lets each be upgraded (or found dead) one at a time.
        IndexMetaVec engines = metas.get();
        // The value being replaced. Maps are written only under the GIL and,
        // but for tp_clear, under the engine list, both held here: no need for
        // the map's mutex, which must not be held while add_index converts
        // container items (Python code, which may read this object).
        std::optional<PyValue> old;
        if (const PyValue* current = map.get().get(attr_id)) old = *current;
        std::vector<std::shared_ptr<IndexAPI>> updated;
        updated.reserve(engines.size());
        engines_updated = true;
        // The GIL comes back while the engine list is still held: writes to
        // the map happen under the GIL, and a thread holding the GIL never
        // blocks on the list, so this cannot deadlock.
        without_gil([&] {
            for (const IndexMeta& meta : engines) {
                std::shared_ptr<IndexAPI> engine = meta.lock();
                if (!engine) continue;
                // A name starting with "_" is indexed only by some engines, and
                // only those must follow it.
                if (private_name && !engine->indexes_private(record.id, attr_id)) continue;
                updated.push_back(engine);
                try {
                    engine->replace_index(record.id, attr_id, old ? &*old : nullptr, value ? &*value : nullptr);
                } catch (...) {
                    if (thread_exiting()) throw;
                    // All or nothing (an allocation failure part way): every
                    // engine goes back to the old value, which the map keeps.
                    for (const std::shared_ptr<IndexAPI>& back : updated) {
                        try {
                            back->replace_index(record.id, attr_id, value ? &*value : nullptr, old ? &*old : nullptr);
                        } catch (...) {
                            if (thread_exiting()) throw;
                        }
                    }
                    throw;
                }
            }
        });
        if (touched) *touched = std::move(updated);
    }
    return write();
}

int indexable_setattro(PyObject* self, PyObject* name, PyObject* value) {
    if (!value) {
        PyErr_SetString(PyExc_AttributeError, "can't delete attribute");
        return -1;
    }
    if (!PyUnicode_Check(name)) {
        set_bad_name(name, "__setattr__");
        return -1;
    }
    try {
        // The slot stays put while self lives, even with the GIL released.
        const RecordPtr& record = record_slot(self);
        if (!record) {
            PyErr_SetString(PyExc_SystemError, "Indexable without a record");
            return -1;
        }
        Py_ssize_t n = 0;
        const char* text = PyUnicode_AsUTF8AndSize(name, &n);
        if (!text) return -1;
        bool private_name = n > 0 && text[0] == '_';
        PyValue converted = PyValue::for_attribute(value);
        std::optional<uint32_t> attr_id = attribute_name_id(name);
        if (!attr_id) return -1;
        bool engines_updated = false;
        std::optional<PyValue> old;
        std::vector<std::shared_ptr<IndexAPI>> touched;
        try {
            old = store_attribute(self, *record, *attr_id, private_name, std::move(converted), engines_updated,
                                  &touched);
        } catch (...) {
            if (thread_exiting()) throw;
            // Work queued on nested objects before the failure (or by undoing
            // it) still has to run.
            if (engines_updated) run_nested_tasks();
            throw;
        }
        if (engines_updated) {
            // Nested objects that gained or lost a holder are indexed now
            // that this object's locks are released. A task that fails (an
            // allocation failure) undoes its part and is queued again: the
            // value is stored by now, so it gets one more try here.
            try {
                run_nested_tasks();
            } catch (const std::bad_alloc&) {
                run_nested_tasks();
            } catch (const PythonError&) {
                // An interrupt from converting a nested object's items: the
                // assignment is taken back, a new attribute included (left in
                // place, its nested work would be tried again, and fail again,
                // at every later call of this thread).
                try {
                    bool again = false;
                    if (old) {
                        // Moved back, not copied: a copy of a direct reference
                        // would come back without its object.
                        old = store_attribute(self, *record, *attr_id, private_name, std::move(*old), again);
                    } else {
                        old = store_attribute(self, *record, *attr_id, private_name, std::nullopt, again);
                    }
                    run_nested_tasks();
                } catch (...) {
                    // Failing again, the work stays queued for the next call.
                }
                throw;
            }
            drain_pending_decrefs();
            // The watches test the object once its change is complete, nested
            // objects included; their callbacks run before the assignment
            // returns.
            if (!notice_assignment(touched, record->id, *attr_id, self)) return -1;
            if (deliver_watch_notices() < 0) return -1;
        }
        // The replaced value goes with the GIL and no lock held; if it was
        // the last reference, the release was parked and runs now.
        old.reset();
        drain_pending_decrefs();
        return 0;
    } catch (...) {
        if (thread_exiting()) throw;
        set_python_error(std::current_exception());
        return -1;
    }
}

// ---- attribute read ---------------------------------------------------------

// Whether a read may hand back the stored object itself without looking at
// the value's kind (which lies on another cache line): the exact builtin
// scalars, as PyValue::to_python would.
inline bool returned_as_stored(PyObject* o) noexcept {
    const PyTypeObject* type = Py_TYPE(o);
    return type == &PyLong_Type || type == &PyUnicode_Type || type == &PyFloat_Type || type == &PyBool_Type;
}

[[gnu::noinline]] PyObject* indexable_getattro_slow(PyObject* self, PyObject* name);

// Reads are as frequent as in plain Python code: the common one (a name
// object read before, a stored builtin scalar) takes no call and no
// exception frame. No lock: every write to a map holds the GIL, which this
// thread holds, and engines holding the map's mutex only read it. An
// attribute keeps its number, text or bool in its handle's own word
// (PyValue::for_attribute): no box to read through.
PyObject* indexable_getattro(PyObject* self, PyObject* name) {
    uint32_t attr_id;
    if (recent_name_id(name, attr_id)) [[likely]] {
        if (const PyValue* v = cached_attribute(self, attr_id)) [[likely]] {
            PyObject* o = v->obj.object_in_word();
            if (o && returned_as_stored(o)) [[likely]] return Py_NewRef(o);
        }
    }
    return indexable_getattro_slow(self, name);
}

PyObject* indexable_getattro_slow(PyObject* self, PyObject* name) {
    if (!PyUnicode_Check(name)) {
        set_bad_name(name, "__getattribute__");
        return nullptr;
    }
    try {
        uint32_t attr_id = 0;
        if (!attribute_name_id_into(name, attr_id)) {  // no UTF-8 form: no such attribute
            PyErr_Clear();
            PyErr_SetObject(PyExc_AttributeError, name);
            return nullptr;
        }
        if (const PyValue* v = cached_attribute(self, attr_id)) return v->to_python();
        PyObject* found = PyObject_GenericGetAttr(self, name);
        if (!found && PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            PyErr_SetObject(PyExc_AttributeError, name);
        }
        return found;
    } catch (...) {
        if (thread_exiting()) throw;
        set_python_error(std::current_exception());
        return nullptr;
    }
}

// ---- construction and destruction -------------------------------------------

// Sets the TypeError object.__new__ raises for a class that still has
// abstract methods (abc), in the wording of the running interpreter.
void set_abstract_class_error(PyTypeObject* cls) {
    PyObject* methods = PyObject_GetAttrString(reinterpret_cast<PyObject*>(cls), "__abstractmethods__");
    PyObject* sorted = methods ? PySequence_List(methods) : nullptr;
    Py_XDECREF(methods);
    if (!sorted) return;
    const Py_ssize_t count = PyList_GET_SIZE(sorted);
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* separator = PyUnicode_FromString("', '");
#else
    PyObject* separator = PyUnicode_FromString(", ");
#endif
    PyObject* joined = separator && PyList_Sort(sorted) == 0 ? PyUnicode_Join(separator, sorted) : nullptr;
    Py_XDECREF(separator);
    Py_DECREF(sorted);
    if (!joined) return;
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_Format(PyExc_TypeError, "Can't instantiate abstract class %s without an implementation for abstract method%s '%U'",
                 cls->tp_name, count > 1 ? "s" : "", joined);
#else
    PyErr_Format(PyExc_TypeError, "Can't instantiate abstract class %s with abstract method%s %U", cls->tp_name,
                 count > 1 ? "s" : "", joined);
#endif
    Py_DECREF(joined);
}

PyObject* indexable_new(PyTypeObject* cls, PyObject*, PyObject* kwargs);
PyObject* indexable_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames);

// Whether calling cls amounts to indexable_new alone: its __new__ is ours and
// no __init__ other than object's runs after it. Asked at every call, since
// assigning __new__ or __init__ to a class later changes its slots.
bool makes_plainly(const PyTypeObject* cls) noexcept {
    return cls->tp_new == indexable_new && cls->tp_init == PyBaseObject_Type.tp_init;
}

// Lets calls of cls skip type.__call__ from now on (a subclass gets this at
// its first instance; the check above still runs at every call).
void install_vectorcall(PyTypeObject* cls) noexcept {
#if !defined(Py_LIMITED_API)
    if (!cls->tp_vectorcall && makes_plainly(cls)) cls->tp_vectorcall = indexable_vectorcall;
#endif
}

// type.__call__ with the arguments of a vectorcall: for a class that has
// gained a __new__ or __init__ of its own.
PyObject* call_as_type(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    OwnedRef tuple = OwnedRef::steal(PyTuple_New(nargs));
    if (!tuple) return nullptr;
    for (Py_ssize_t i = 0; i < nargs; ++i) PyTuple_SET_ITEM(tuple.get(), i, Py_NewRef(args[i]));
    OwnedRef kwargs;
    if (kwnames && PyTuple_GET_SIZE(kwnames) > 0) {
        kwargs = OwnedRef::steal(PyDict_New());
        if (!kwargs) return nullptr;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwnames); ++i) {
            if (PyDict_SetItem(kwargs.get(), PyTuple_GET_ITEM(kwnames, i), args[nargs + i]) < 0) return nullptr;
        }
    }
    return PyType_Type.tp_call(callable, tuple.get(), kwargs.get());
}

// Makes an instance of cls from `count` keyword pairs: pairs(add) calls
// add(name, value) for each, both borrowed and alive for the whole call, and
// returns false if a name is not a str (the error set).
template <class Pairs>
PyObject* make_indexable(PyTypeObject* cls, Py_ssize_t count, Pairs&& pairs) {
    if (PyType_GetFlags(cls) & Py_TPFLAGS_IS_ABSTRACT) {
        set_abstract_class_error(cls);
        return nullptr;
    }
    try {
        drain_pending_decrefs();
        AttributeMapData map;
        if (count > 0) {
            // Room for every keyword at the first pair.
            const auto room = static_cast<uint32_t>(count);
            bool failed = false;
            const bool names_ok = pairs([&](PyObject* key, PyObject* value) {
                if (failed) return;
                PyValue converted = PyValue::for_attribute(value);
                uint32_t attr_id = 0;
                if (!attribute_name_id_into(key, attr_id)) {
                    failed = true;
                    return;
                }
                map.exchange(attr_id, std::move(converted), room);
            });
            if (!names_ok || failed) return nullptr;
        }
        // The id is drawn only once every value is converted.
        RecordPtr record = IndexableRecord::make(std::move(map), cls);
        return indexable_wrap(cls, std::move(record));
    } catch (...) {
        if (thread_exiting()) throw;
        set_python_error(std::current_exception());
        return nullptr;
    }
}

PyObject* indexable_new(PyTypeObject* cls, PyObject*, PyObject* kwargs) {
    const Py_ssize_t count = kwargs ? PyDict_GET_SIZE(kwargs) : 0;
    PyObject* made = make_indexable(cls, count, [&](auto&& add) {
        Py_ssize_t pos = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (!PyUnicode_Check(key)) {
                PyErr_SetString(PyExc_TypeError, "keywords must be strings");
                return false;
            }
            // The dict may be the caller's own, and conversion may run
            // Python code (__hash__) that changes it: keep the pair alive.
            OwnedRef hold_key = OwnedRef::steal(Py_NewRef(key));
            OwnedRef hold_value = OwnedRef::steal(Py_NewRef(value));
            add(key, value);
        }
        return true;
    });
    if (made) install_vectorcall(cls);
    return made;
}

// Calling a class whose instances are made by indexable_new alone (no
// __init__ of its own) skips the keyword dict of type.__call__: the names
// and values come straight from the caller's frame. Positional arguments
// are ignored, as indexable_new and object.__init__ ignore them.
PyObject* indexable_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    auto* cls = reinterpret_cast<PyTypeObject*>(callable);
    if (!makes_plainly(cls)) return call_as_type(callable, args, nargsf, kwnames);
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    const Py_ssize_t count = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    return make_indexable(cls, count, [&](auto&& add) {
        for (Py_ssize_t i = 0; i < count; ++i) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, i);
            if (!PyUnicode_Check(key)) {
                PyErr_SetString(PyExc_TypeError, "keywords must be strings");
                return false;
            }
            add(key, args[nargs + i]);
        }
        return true;
    });
}

void indexable_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Py_TRASHCAN_BEGIN(self, indexable_dealloc)
    if (reinterpret_cast<IndexableObject*>(self)->weakreflist) PyObject_ClearWeakRefs(self);
    // Subclasses leave the dict to us: it lives in our part of the object.
    Py_CLEAR(reinterpret_cast<IndexableObject*>(self)->dict);
    {
        // Dropping the record may release attribute values and so run
        // arbitrary Python code; the slot is already empty by then.
        reinterpret_cast<IndexableObject*>(self)->attribute_cache = nullptr;
        RecordPtr record = std::move(record_slot(self));
        record_slot(self).~RecordPtr();
    }
    if (!keep_indexable_for_reuse(type, self)) type->tp_free(self);
    Py_DECREF(reinterpret_cast<PyObject*>(type));
    // Attribute values that this object held last were parked (pyref.hpp).
    drain_pending_decrefs();
    Py_TRASHCAN_END
}

// ---- garbage collection -----------------------------------------------------

// Visits the instance dict and the object reference of every attribute
// value: exactly the references this object owns (copies that engines make
// share these same references and are never visited).
//
// No lock is taken: maps are written only with the GIL held, which the
// collector holds, and engines only read them. Skipping a busy map instead
// would let the collector see the references in one pass but not in the next,
// and so free objects that are still referenced.
int indexable_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(reinterpret_cast<IndexableObject*>(self)->dict);
    // Through the instance's copy of the map's word (taken again after every
    // write, all of which hold the GIL, as does the collector): a full
    // collection visits every object, and this spares each a trip through
    // its record.
    int rc = 0;
    AttributeMapData::for_each_in(reinterpret_cast<const IndexableObject*>(self)->attribute_cache,
                                  [&](const uint32_t&, const PyValue& v) {
                                      if (rc == 0 && v.obj) rc = visit(v.obj.get(), arg);
                                  });
    return rc;
}

// Breaks reference cycles through the instance dict and attribute values. If
// an engine is reading the map right now, the map is left alone: the cycle is
// collected later.
int indexable_clear(PyObject* self) {
    Py_CLEAR(reinterpret_cast<IndexableObject*>(self)->dict);
    const RecordPtr& record = record_slot(self);
    if (!record) return 0;
    AttributeMap map = record->attribute_map();
    if (!map.lock().try_lock()) return 0;
    {
        AttributeMapData dropped(std::move(map.get()));
        refresh_attribute_cache(self);
        map.lock().unlock();
    }  // the values are released here, with no lock held
    drain_pending_decrefs();
    return 0;
}

// ---- the instance dict ------------------------------------------------------

// Whether instances of cls show an instance dict: as a Python class would
// give them one, when a class of their MRO below Indexable was made without
// __slots__, or a mixin brings a dict of its own. Indexable itself and
// classes made only of __slots__ show none. Every instance has the slot
// (Indexable's), so that no subclass adds a dict in front of the object;
// this decides only whether it is in use. GIL held.
bool shows_dict(PyTypeObject* cls) {
    PyTypeObject* indexable = INDEXABLE_TYPE_IF_MADE();
    PyObject* mro = cls->tp_mro;
    if (!mro || !PyTuple_Check(mro)) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
        auto* t = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
        if (t == indexable || !(t->tp_flags & Py_TPFLAGS_HEAPTYPE)) continue;
        if (!PyType_IsSubtype(t, indexable)) {
            if (t->tp_dictoffset != 0) return true;
            continue;
        }
        // A subclass inherits our dict slot: its own namespace tells how it
        // was declared.
        PyObject* ns = t->tp_dict;
        if (!ns || !PyDict_Check(ns)) continue;
        PyObject* slots = PyDict_GetItemString(ns, "__slots__");  // borrowed, swallows errors
        if (!slots) return true;
    }
    return false;
}

void set_no_dict(PyObject* self) {
    PyErr_Format(PyExc_AttributeError, "'%.100s' object has no attribute '__dict__'", Py_TYPE(self)->tp_name);
}

PyObject* indexable_get_dict(PyObject* self, void* context) {
    if (!shows_dict(Py_TYPE(self))) {
        set_no_dict(self);
        return nullptr;
    }
    return PyObject_GenericGetDict(self, context);
}

int indexable_set_dict(PyObject* self, PyObject* value, void* context) {
    if (!shows_dict(Py_TYPE(self))) {
        set_no_dict(self);
        return -1;
    }
    return PyObject_GenericSetDict(self, value, context);
}

PyGetSetDef indexable_getset[] = {
    {"__dict__", indexable_get_dict, indexable_set_dict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---- __dir__ and __repr__ ---------------------------------------------------

PyObject* indexable_dir(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        std::vector<uint32_t> ids;
        if (const RecordPtr& record = record_slot(self)) {
            AttributeMap map = record->attribute_map();
            GilSafeGuard<Mutex> guard(map.lock());
            ids.reserve(map.get().len());
            map.get().for_each([&](const uint32_t& id, const PyValue&) { ids.push_back(id); });
        }
        OwnedRef names = OwnedRef::steal(PyList_New(0));
        if (!names) return nullptr;
        {
            InternerSnapshot snap = INTERNER().snapshot();
            for (uint32_t id : ids) {
                std::string_view text = snap->text(id);
                OwnedRef name = OwnedRef::steal(
                    PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogatepass"));
                if (!name || PyList_Append(names.get(), name.get()) < 0) return nullptr;
            }
        }
        OwnedRef object_dir =
            OwnedRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyBaseObject_Type), "__dir__"));
        if (!object_dir) return nullptr;
        OwnedRef defaults = OwnedRef::steal(PyObject_CallOneArg(object_dir.get(), self));
        if (!defaults) return nullptr;
        if (PyList_Check(defaults.get())) {
            // The class's __dict__ descriptor is listed for every instance;
            // it belongs only to those that show a dict.
            if (!shows_dict(Py_TYPE(self))) {
                OwnedRef kept = OwnedRef::steal(PyList_New(0));
                if (!kept) return nullptr;
                for (Py_ssize_t i = 0; i < PyList_GET_SIZE(defaults.get()); ++i) {
                    PyObject* name = PyList_GET_ITEM(defaults.get(), i);
                    if (PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, "__dict__") == 0) continue;
                    if (PyList_Append(kept.get(), name) < 0) return nullptr;
                }
                defaults = std::move(kept);
            }
            if (PyList_SetSlice(names.get(), PY_SSIZE_T_MAX, PY_SSIZE_T_MAX, defaults.get()) < 0) return nullptr;
        }
        return names.release();
    });
}

PyObject* indexable_repr(PyObject* self) {
    size_t count = 0;
    if (const RecordPtr& record = record_slot(self)) {
        AttributeMap map = record->attribute_map();
        GilSafeGuard<Mutex> guard(map.lock());
        count = map.get().len();
    }
    // The class's own name, so that a subclass shows as itself.
    PyObject* name = PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(self)), "__name__");
    if (!name) return nullptr;
    PyObject* out = PyUnicode_FromFormat("<%U with %zu attributes>", name, count);
    Py_DECREF(name);
    return out;
}

// ---- the class --------------------------------------------------------------

PyMethodDef indexable_methods[] = {
    {"__dir__", indexable_dir, METH_NOARGS, nullptr},
    {"__reduce__", indexable_reduce, METH_NOARGS, nullptr},
    {"__setstate__", indexable_setstate, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef indexable_members[] = {
#if PY_VERSION_HEX >= 0x030C0000
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(IndexableObject, weakreflist), Py_READONLY, nullptr},
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(IndexableObject, dict), Py_READONLY, nullptr},
#else
    {"__weaklistoffset__", T_PYSSIZET, offsetof(IndexableObject, weakreflist), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(IndexableObject, dict), READONLY, nullptr},
#endif
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot indexable_slots[] = {
    {Py_tp_doc, const_cast<char*>("Indexable(*_args, **kwargs)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(indexable_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(indexable_dealloc)},
    {Py_tp_getattro, reinterpret_cast<void*>(indexable_getattro)},
    {Py_tp_setattro, reinterpret_cast<void*>(indexable_setattro)},
    {Py_tp_repr, reinterpret_cast<void*>(indexable_repr)},
    {Py_tp_traverse, reinterpret_cast<void*>(indexable_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(indexable_clear)},
    {Py_tp_methods, indexable_methods},
    {Py_tp_members, indexable_members},
    {Py_tp_getset, indexable_getset},
    {0, nullptr},
};

PyType_Spec indexable_spec = {
    "Tarnwick.Indexable",
    static_cast<int>(sizeof(IndexableObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    indexable_slots,
};

}  // namespace

PyTypeObject* indexable_type() {
    return class_once(INDEXABLE_TYPE_CELL(), [] {
        PyObject* made = make_class(&indexable_spec);
        if (made) install_vectorcall(reinterpret_cast<PyTypeObject*>(made));
        return made;
    });
}

namespace {
// The value model makes the class on first use through this (types.hpp).
const bool maker_installed = (set_indexable_type_maker(&indexable_type), true);
}  // namespace

int register_indexable(PyObject* module) {
    PyTypeObject* type = indexable_type();
    if (!type) return -1;
    return add_to_module(module, "Indexable", reinterpret_cast<PyObject*>(type));
}

}  // namespace tarnwick

// Entry point of the Tarnwick extension module.
#include "index/pyref.hpp"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "index/core/index.hpp"
#include "index/core/structures/bitmap_reserve.hpp"
#include "index/core/structures/slot_pool.hpp"
#include "index/core/structures/string_interner.hpp"
#include "index/indexable_record.hpp"
#include "index/interfaces/docs.hpp"
#include "index/interfaces/filtered_index.hpp"
#include "index/interfaces/fork_handlers.hpp"
#include "index/interfaces/index.hpp"
#include "index/interfaces/indexable.hpp"
#include "index/interfaces/py_query_expr.hpp"
#include "index/interfaces/registration.hpp"
#include "index/value.hpp"

namespace tarnwick {
namespace {

// ---- sum_as_string ----------------------------------------------------------

// Argument `a` or `b` as an unsigned integer of pointer width. Type errors
// name the parameter; overflow errors keep the interpreter's wording, except
// above the range, which has a fixed message.
bool pointer_width_arg(PyObject* arg, const char* param, size_t& out) {
    PyObject* index = PyLong_Check(arg) ? Py_NewRef(arg) : PyNumber_Index(arg);
    if (!index) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
#if PY_VERSION_HEX >= 0x030C0000
            PyObject* exc = PyErr_GetRaisedException();
#else
            PyObject *type, *exc, *tb;
            PyErr_Fetch(&type, &exc, &tb);
            PyErr_NormalizeException(&type, &exc, &tb);
            Py_XDECREF(type);
            Py_XDECREF(tb);
#endif
            OwnedRef text = OwnedRef::steal(exc ? PyObject_Str(exc) : nullptr);
            Py_XDECREF(exc);
            if (text) PyErr_Format(PyExc_TypeError, "argument '%s': %U", param, text.get());
            else PyErr_Format(PyExc_TypeError, "argument '%s': expected an integer", param);
        }
        return false;
    }
    int overflow = 0;
    long long as_signed = PyLong_AsLongLongAndOverflow(index, &overflow);
    bool negative = overflow < 0 || (overflow == 0 && as_signed < 0);
    unsigned long long v = PyLong_AsUnsignedLongLong(index);  // words the negative case itself
    Py_DECREF(index);
    if (PyErr_Occurred()) {
        if (!negative && PyErr_ExceptionMatches(PyExc_OverflowError)) {
            PyErr_Clear();
            PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        }
        return false;
    }
    if (v > SIZE_MAX) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        return false;
    }
    out = static_cast<size_t>(v);
    return true;
}

PyObject* sum_as_string(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"a", "b", nullptr};
    PyObject *a = nullptr, *b = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:sum_as_string", const_cast<char**>(keywords), &a, &b)) {
        return nullptr;
    }
    size_t x = 0, y = 0;
    if (!pointer_width_arg(a, "a", x) || !pointer_width_arg(b, "b", y)) return nullptr;
    std::string text = std::to_string(static_cast<size_t>(x + y));  // wraps around at pointer width
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyMethodDef sum_as_string_def = {
    "sum_as_string", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(sum_as_string)),
    METH_VARARGS | METH_KEYWORDS, "sum_as_string(a, b)\n--\n\nFormats the sum of two numbers as string."};

int register_sum_as_string(PyObject* module) {
    document_method(nullptr, sum_as_string_def);
    // The package's name, under which users import the function.
    OwnedRef module_name = OwnedRef::steal(PyUnicode_FromString("Tarnwick"));
    if (!module_name) return -1;
    OwnedRef fn = OwnedRef::steal(PyCFunction_NewEx(&sum_as_string_def, module, module_name.get()));
    if (!fn) return -1;
    OwnedRef name = OwnedRef::steal(PyObject_GetAttrString(fn.get(), "__name__"));
    if (!name) return -1;
    const char* text = PyUnicode_AsUTF8(name.get());
    return text ? add_to_module(module, text, fn.get()) : -1;
}

// ---- private hooks for the test suite ---------------------------------------

PyObject* hook_object_id(PyObject*, PyObject* obj) {
    if (!is_indexable(obj)) {
        PyErr_SetString(PyExc_TypeError, "expected an Indexable");
        return nullptr;
    }
    const auto& record = indexable_record(obj);
    return PyLong_FromUnsignedLong(record ? record->id : 0);
}

PyObject* hook_intern(PyObject*, PyObject* text) {
    Py_ssize_t n = 0;
    const char* utf8 = PyUnicode_Check(text) ? PyUnicode_AsUTF8AndSize(text, &n) : nullptr;
    if (!utf8) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "expected a str");
        return nullptr;
    }
    std::string copy(utf8, static_cast<size_t>(n));
    uint32_t id = 0;
    // Without the GIL, so that threads really intern concurrently.
    without_gil([&] { id = INTERNER().intern(copy); });
    return PyLong_FromUnsignedLong(id);
}

PyObject* hook_resolve(PyObject*, PyObject* arg) {
    unsigned long id = PyLong_AsUnsignedLong(arg);
    if (id == static_cast<unsigned long>(-1) && PyErr_Occurred()) return nullptr;
    try {
        std::string text = INTERNER().resolve(static_cast<uint32_t>(id));
        return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogatepass");
    } catch (const std::out_of_range&) {
        PyErr_SetString(PyExc_IndexError, "interned id out of range");
        return nullptr;
    }
}

PyObject* hook_value_debug(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"obj", "alternate", nullptr};
    PyObject* obj = nullptr;
    int alternate = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|p:_value_debug", const_cast<char**>(keywords), &obj, &alternate)) {
        return nullptr;
    }
    std::string text = PyValue::from_py(obj).debug(alternate != 0);
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyObject* hook_value_hash(PyObject*, PyObject* obj) { return PyLong_FromUnsignedLongLong(PyValue::from_py(obj).hash()); }

PyObject* hook_value_eq(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 2) {
        PyErr_SetString(PyExc_TypeError, "_value_eq expects 2 arguments");
        return nullptr;
    }
    return PyBool_FromLong(PyValue::from_py(args[0]) == PyValue::from_py(args[1]));
}

PyObject* hook_pending_decrefs(PyObject*, PyObject*) { return PyLong_FromSize_t(pending_decref_count()); }

// Reference boxes handed out and not released, once the parked releases are
// done (the pool's count as this thread sees it: exact for its own work and
// that of threads that have ended).
PyObject* hook_reference_boxes(PyObject*, PyObject*) {
    drain_pending_decrefs();
    return PyLong_FromLongLong(SlotPool::in_use());
}

// Makes the n-th engine allocation point from now fail with MemoryError; 0
// disarms. Returns the count that was left (0: the armed failure happened).
PyObject* hook_fail_allocation_after(PyObject*, PyObject* arg) {
    long long n = PyLong_AsLongLong(arg);
    if (n == -1 && PyErr_Occurred()) return nullptr;
    return PyLong_FromLongLong(fail_allocation_after(n));
}

// How many of the bitmap library's allocation imports go through the reserve
// (0 where they cannot be routed).
PyObject* hook_bitmap_reserve_routes(PyObject*, PyObject*) { return PyLong_FromSize_t(install_bitmap_reserve()); }

// Engines with nothing to index, so that tests can drive attribute assignment
// through the path taken for objects that belong to an index.
std::vector<std::shared_ptr<IndexAPI>>& test_engines() {
    static auto* engines = new std::vector<std::shared_ptr<IndexAPI>>();
    return *engines;
}

PyObject* hook_attach_engine(PyObject*, PyObject* args) {
    PyObject* obj = nullptr;
    int live = 1;
    if (!PyArg_ParseTuple(args, "O|p:_attach_engine", &obj, &live)) return nullptr;
    if (!is_indexable(obj)) {
        PyErr_SetString(PyExc_TypeError, "expected an Indexable");
        return nullptr;
    }
    std::shared_ptr<IndexAPI> engine = IndexAPI::create();
    if (live) test_engines().push_back(engine);
    RecordPtr record = indexable_record(obj);
    const IndexAPI* placeholder = DEFAULT_INDEX_ARC().get();
    without_gil([&] {
        register_index_meta(*record, engine, placeholder);
        engine.reset();  // a dead entry unless kept above
    });
    Py_RETURN_NONE;
}

PyObject* hook_engine_count(PyObject*, PyObject* obj) {
    if (!is_indexable(obj)) {
        PyErr_SetString(PyExc_TypeError, "expected an Indexable");
        return nullptr;
    }
    IndexMetaList metas = indexable_record(obj)->index_metas();
    size_t n = 0;
    {
        GilSafeGuard<Mutex> guard(metas.lock());
        n = metas.get().size();
    }
    return PyLong_FromSize_t(n);
}

PyMethodDef module_methods[] = {
    {"_object_id", hook_object_id, METH_O, nullptr},
    {"_intern", hook_intern, METH_O, nullptr},
    {"_resolve", hook_resolve, METH_O, nullptr},
    {"_value_debug", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(hook_value_debug)),
     METH_VARARGS | METH_KEYWORDS, nullptr},
    {"_value_hash", hook_value_hash, METH_O, nullptr},
    {"_value_eq", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(hook_value_eq)), METH_FASTCALL, nullptr},
    {"_pending_decrefs", hook_pending_decrefs, METH_NOARGS, nullptr},
    {"_reference_boxes", hook_reference_boxes, METH_NOARGS, nullptr},
    {"_fail_allocation_after", hook_fail_allocation_after, METH_O, nullptr},
    {"_bitmap_reserve_routes", hook_bitmap_reserve_routes, METH_NOARGS, nullptr},
    {"_attach_engine", hook_attach_engine, METH_VARARGS, nullptr},
    {"_engine_count", hook_engine_count, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// ---- the module -------------------------------------------------------------

// The native part of the package Tarnwick: its __init__ re-exports the public
// names; the test hooks stay here, out of the package's namespace.
PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "Tarnwick._native",
    "A Python module implemented natively: an in-memory, attribute-indexed object store.",
    // No per-module state. Not -1: that would make the interpreter copy the
    // module dict on re-import instead of calling init, which bypasses both
    // the kept module object and the sub-interpreter refusal.
    0,
    module_methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

using RegisterFn = int (*)(PyObject* module);

// The public names, in the order they appear in __all__. Index sits between
// sum_as_string and Indexable, FilteredIndex and PyQueryExpr follow.
const RegisterFn registrations[] = {
    register_sum_as_string,
    register_index,
    register_indexable,
    register_filtered_index,
    register_py_query_expr,
};

constexpr int64_t NO_INTERPRETER = -1;
std::atomic<int64_t> owning_interpreter{NO_INTERPRETER};
PyObject* module_object = nullptr;  // set once; guarded by the GIL

PyObject* init_module() {
    PyInterpreterState* interp = PyInterpreterState_Get();
    int64_t interp_id = interp ? PyInterpreterState_GetID(interp) : -1;
    if (interp_id == -1) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        return nullptr;
    }
    int64_t expected = NO_INTERPRETER;
    if (!owning_interpreter.compare_exchange_strong(expected, interp_id) && expected != interp_id) {
        PyErr_SetString(PyExc_ImportError, "Tarnwick does not support sub-interpreters");
        return nullptr;
    }
    if (module_object) return Py_NewRef(module_object);

    install_bitmap_reserve();
    PyObject* module = PyModule_Create(&module_def);
    if (!module) return nullptr;
    for (RegisterFn reg : registrations) {
        if (reg(module) < 0) {
            Py_DECREF(module);
            return nullptr;
        }
    }
    if (register_fork_handlers() < 0) {
        Py_DECREF(module);
        return nullptr;
    }
    module_object = Py_NewRef(module);
    return module;
}

}  // namespace
}  // namespace tarnwick

PyMODINIT_FUNC PyInit__native(void) { return tarnwick::init_module(); }

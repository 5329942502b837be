#include "index/types.hpp"

#include <atomic>
#include <new>
#include <stdexcept>
#include <utility>

#include "index/indexable_record.hpp"

namespace tarnwick {
namespace {

// A value built at most once per process and never released.
//
// std::call_once would deadlock here: building a cell may run Python code
// (importing numpy) that releases the GIL, and a second thread would then wait
// inside call_once while holding the GIL the first one needs. Instead the
// build runs under the GIL and the first finished result is published with a
// compare-and-swap; a thread that lost the race discards its copy.
template <class T>
class GilOnceCell {
public:
    template <class Build, class Discard>
    const T& get_or_init(Build&& build, Discard&& discard) {
        if (T* v = value_.load(std::memory_order_acquire)) return *v;
        T* fresh = new T(build());
        T* expected = nullptr;
        if (value_.compare_exchange_strong(expected, fresh, std::memory_order_acq_rel)) return *fresh;
        discard(*fresh);
        delete fresh;
        return *expected;
    }

private:
    std::atomic<T*> value_{nullptr};
};

struct TypeCell {
    PyTypeObject* type;  // strong reference, or null
};

void discard_type(TypeCell& cell) { Py_XDECREF(reinterpret_cast<PyObject*>(cell.type)); }
void keep_list(TypeList&) {}

// numpy.<name> if numpy imports and the attribute is a type; any error is
// cleared, and the answer is final.
TypeCell numpy_type(const char* name) {
    OwnedRef numpy = OwnedRef::steal(PyImport_ImportModule("numpy"));
    OwnedRef attr = OwnedRef::steal(numpy ? PyObject_GetAttrString(numpy.get(), name) : nullptr);
    if (!attr) {
        PyErr_Clear();
        return {nullptr};
    }
    if (!PyType_Check(attr.get())) return {nullptr};
    return {reinterpret_cast<PyTypeObject*>(attr.release())};
}

// numpy's scalar type of each one-letter type code (numpy.dtype(code).type),
// which names every width and alias numpy has on this platform.
TypeList numpy_types_of_codes(const char* codes) {
    TypeList list;
    OwnedRef numpy = OwnedRef::steal(PyImport_ImportModule("numpy"));
    if (!numpy) {
        PyErr_Clear();
        return list;
    }
    for (const char* code = codes; *code; ++code) {
        const char one[2] = {*code, '\0'};
        OwnedRef dtype = OwnedRef::steal(PyObject_CallMethod(numpy.get(), "dtype", "s", one));
        OwnedRef type = OwnedRef::steal(dtype ? PyObject_GetAttrString(dtype.get(), "type") : nullptr);
        if (!type) {
            PyErr_Clear();
            continue;
        }
        // Type objects of numpy live as long as the process: the reference is
        // kept, as for the cells below.
        if (!PyType_Check(type.get())) continue;
        auto* as_type = reinterpret_cast<PyTypeObject*>(type.get());
        if (list.contains(as_type) || list.size() == TypeList::capacity) continue;
        list.push(reinterpret_cast<PyTypeObject*>(type.release()));
    }
    return list;
}

PyTypeObject* numpy_cell(GilOnceCell<TypeCell>& cell, const char* name) {
    return cell.get_or_init([name] { return numpy_type(name); }, discard_type).type;
}

const TypeList& type_list(GilOnceCell<TypeList>& cell, PyTypeObject* builtin, PyTypeObject* (*numpy)()) {
    return cell.get_or_init(
        [&] {
            TypeList list;
            list.push(builtin);
            list.push(numpy());
            return list;
        },
        keep_list);
}

GilOnceCell<TypeCell> np_int64_cell, np_float64_cell, np_bool_cell, np_str_cell, np_longdouble_cell;
GilOnceCell<TypeList> int_types, float_types, bool_types, str_types, numpy_integer_types, numpy_floating_types;

struct PyIndexableCell {
    PyHandle handle;
};
GilOnceCell<PyIndexableCell> default_py_indexable;

}  // namespace

// The builtin types are static objects that outlive every use.
PyTypeObject* PY_INT_TYPE_CELL() noexcept { return &PyLong_Type; }
PyTypeObject* PY_FLOAT_TYPE_CELL() noexcept { return &PyFloat_Type; }
PyTypeObject* PY_BOOL_TYPE_CELL() noexcept { return &PyBool_Type; }
PyTypeObject* PY_STR_TYPE_CELL() noexcept { return &PyUnicode_Type; }

PyTypeObject* NP_INT64_CELL() { return numpy_cell(np_int64_cell, "int64"); }
PyTypeObject* NP_FLOAT64_CELL() { return numpy_cell(np_float64_cell, "float64"); }
PyTypeObject* NP_BOOL_CELL() { return numpy_cell(np_bool_cell, "bool"); }
PyTypeObject* NP_STR_CELL() { return numpy_cell(np_str_cell, "str_"); }

const TypeList& INT_TYPES() { return type_list(int_types, PY_INT_TYPE_CELL(), &NP_INT64_CELL); }
const TypeList& FLOAT_TYPES() { return type_list(float_types, PY_FLOAT_TYPE_CELL(), &NP_FLOAT64_CELL); }
const TypeList& BOOL_TYPES() { return type_list(bool_types, PY_BOOL_TYPE_CELL(), &NP_BOOL_CELL); }
const TypeList& STR_TYPES() { return type_list(str_types, PY_STR_TYPE_CELL(), &NP_STR_CELL); }

const TypeList& NUMPY_INTEGER_TYPES() {
    return numpy_integer_types.get_or_init([] { return numpy_types_of_codes("bBhHiIlLqQ"); }, keep_list);
}
const TypeList& NUMPY_FLOATING_TYPES() {
    return numpy_floating_types.get_or_init([] { return numpy_types_of_codes("efdg"); }, keep_list);
}
PyTypeObject* NP_LONGDOUBLE_CELL() { return numpy_cell(np_longdouble_cell, "longdouble"); }

std::atomic<PyTypeObject*>& INDEXABLE_TYPE_CELL() noexcept {
    static std::atomic<PyTypeObject*> cell{nullptr};
    return cell;
}

namespace {
// Constant-initialised: installed from a static initialiser of another unit.
std::atomic<PyTypeObject* (*)()> indexable_type_maker{nullptr};
}  // namespace

void set_indexable_type_maker(PyTypeObject* (*make)()) noexcept {
    indexable_type_maker.store(make, std::memory_order_release);
}

PyTypeObject* INDEXABLE_TYPE() {
    if (PyTypeObject* type = INDEXABLE_TYPE_IF_MADE()) return type;
    auto make = indexable_type_maker.load(std::memory_order_acquire);
    if (!make) {
        PyErr_SetString(PyExc_SystemError, "the Indexable class is not linked in");
        return nullptr;
    }
    return make();
}

PyTypeObject* INDEXABLE_TYPE_IF_MADE() noexcept { return INDEXABLE_TYPE_CELL().load(std::memory_order_acquire); }

const RecordPtr& DEFAULT_INDEXABLE_ARC() {
    // Pure native; a function-local static never waits for the GIL.
    static const auto* arc = new RecordPtr(IndexableRecord::make_default());
    return *arc;
}

const PyHandle& DEFAULT_PY_INDEXABLE_ARC() {
    return default_py_indexable
        .get_or_init(
            [] {
                PyTypeObject* type = INDEXABLE_TYPE();
                PyObject* obj = type ? indexable_wrap(type, IndexableRecord::make_default(type)) : nullptr;
                if (!obj) {
                    // Only an exhausted allocator gets here.
                    PyErr_Clear();
                    throw std::bad_alloc();
                }
                return PyIndexableCell{PyHandle::steal(obj)};
            },
            [](PyIndexableCell&) {})
        .handle;
}

}  // namespace tarnwick

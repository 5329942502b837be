// Process-wide registry of the Python types that decide how a value is
// classified, and the placeholder objects the engines fill empty slots with.
//
// Everything here is built on first use, never at import: in particular numpy
// is imported only when the first value is classified, and a failed numpy
// lookup is not retried. All functions need the GIL unless noted.
#pragma once

#include "index/pyref.hpp"
#include "index/value.hpp"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace tarnwick {

struct IndexableRecord;

// A few type objects: the builtin type then its numpy twin, or all of numpy's
// integer or floating scalar types. Membership is identity of the exact type:
// subclasses never match.
class TypeList {
public:
    bool contains(PyTypeObject* type) const noexcept {
        for (size_t i = 0; i < size_; ++i) {
            if (types_[i] == type) return true;
        }
        return false;
    }
    size_t size() const noexcept { return size_; }
    PyTypeObject* operator[](size_t i) const noexcept { return types_[i]; }

    static constexpr size_t capacity = 12;

    // Ignores null, a type already listed, and anything past the capacity.
    void push(PyTypeObject* type) noexcept {
        if (type && size_ < capacity && !contains(type)) types_[size_++] = type;
    }

private:
    PyTypeObject* types_[capacity] = {};
    size_t size_ = 0;
};

PyTypeObject* PY_INT_TYPE_CELL() noexcept;
PyTypeObject* PY_FLOAT_TYPE_CELL() noexcept;
PyTypeObject* PY_BOOL_TYPE_CELL() noexcept;
PyTypeObject* PY_STR_TYPE_CELL() noexcept;

// numpy's int64, float64, bool and str_ types, or null when numpy cannot be
// imported or lacks the name.
PyTypeObject* NP_INT64_CELL();
PyTypeObject* NP_FLOAT64_CELL();
PyTypeObject* NP_BOOL_CELL();
PyTypeObject* NP_STR_CELL();

const TypeList& INT_TYPES();
const TypeList& FLOAT_TYPES();
const TypeList& BOOL_TYPES();
const TypeList& STR_TYPES();

// Every integer scalar type of numpy (signed and unsigned, 8 to 64 bits, and
// the platform aliases that are types of their own), every floating one (half
// to long double), and long double alone; empty or null without numpy. Ints
// and floats by value, as numbers, whatever their width.
const TypeList& NUMPY_INTEGER_TYPES();
const TypeList& NUMPY_FLOATING_TYPES();
PyTypeObject* NP_LONGDOUBLE_CELL();

// The Indexable class object, kept in a cell that the class fills when it is
// made (interfaces/indexable.cpp). The class also installs, when the module
// is loaded, the function that makes it, so that INDEXABLE_TYPE can make it
// on first use (GIL held; null with the Python error set on failure).
// INDEXABLE_TYPE_IF_MADE only reads the cell: null before the class exists,
// when no instance can exist either. Safe without the GIL.
std::atomic<PyTypeObject*>& INDEXABLE_TYPE_CELL() noexcept;
void set_indexable_type_maker(PyTypeObject* (*make)()) noexcept;
PyTypeObject* INDEXABLE_TYPE();
PyTypeObject* INDEXABLE_TYPE_IF_MADE() noexcept;

// Placeholders for empty item-table slots. Each consumes an object id the
// first time it is touched.
//
// DEFAULT_INDEX_ARC, the shared empty engine, is declared with the engine
// (core/index.hpp), which is what it needs to be built; the engine-list
// helpers of the record take it as a parameter.

// A native record from the default constructor. Safe without the GIL.
const RecordPtr& DEFAULT_INDEXABLE_ARC();
// A Python Indexable allocated natively with its own default record. The
// Indexable class must be made first.
const PyHandle& DEFAULT_PY_INDEXABLE_ARC();

}  // namespace tarnwick

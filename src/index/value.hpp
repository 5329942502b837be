// The typed value kept for every attribute and compared by every query.
//
// A PyValue carries the Python object it came from, the typed primitive the
// indexes work on, and a hash computed once at conversion. Every Python
// reference in it is a PyHandle, so copying or dropping a value on a thread
// without the GIL never touches an interpreter reference count.
#pragma once

#include "index/pyref.hpp"
#include "index/temporal_value.hpp"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace tarnwick {

struct IndexableRecord;

// Immutable UTF-8 text. Up to 23 bytes live inline; longer texts live in a
// heap buffer shared (atomic count) by every copy.
class ShortStr {
public:
    static constexpr size_t INLINE_CAPACITY = 23;

    ShortStr() noexcept { raw_[TAG_AT] = 0; }
    explicit ShortStr(std::string_view text);
    ShortStr(const ShortStr& o) noexcept;
    ShortStr(ShortStr&& o) noexcept;
    ShortStr& operator=(ShortStr o) noexcept {
        swap(o);
        return *this;
    }
    ~ShortStr();

    std::string_view view() const noexcept;
    size_t size() const noexcept { return view().size(); }
    bool is_inline() const noexcept { return raw_[TAG_AT] != HEAP_TAG; }

    friend bool operator==(const ShortStr& a, const ShortStr& b) noexcept { return a.view() == b.view(); }

private:
    struct Heap {
        std::atomic<uint32_t> refs;
        size_t size;
        char* data() noexcept { return reinterpret_cast<char*>(this + 1); }
    };
    static constexpr size_t TAG_AT = INLINE_CAPACITY;  // last byte: inline length, or HEAP_TAG
    static constexpr unsigned char HEAP_TAG = 0xFF;

    Heap* heap() const noexcept;
    void swap(ShortStr& o) noexcept;

    alignas(8) unsigned char raw_[INLINE_CAPACITY + 1] = {};
};
static_assert(sizeof(ShortStr) == 24);

enum class ContainerKind : uint8_t { List = 0, Dict = 1, Tuple = 2, Set = 3 };

const char* container_kind_name(ContainerKind kind) noexcept;

// A list, dict, tuple or set value. `container` shares the value's own `obj`
// handle: one strong reference however often the value is copied.
struct IterableValue {
    ContainerKind kind;
    PyHandle container;
};

// The value of an attribute that holds another Indexable, as it is kept
// inside a value: a live view through the nested object's own record (its
// attribute map and engine list). The object itself is the value's `obj`,
// so the record is all this part holds.
struct IndexableLink {
    std::shared_ptr<IndexableRecord> record;

    uint32_t id() const noexcept;
};

// A nested object on its own, outside any value (the queued nested work and
// the batches that carry it): the object and its record.
struct StoredIndexable {
    PyHandle python_handle;
    std::shared_ptr<IndexableRecord> owned_handle;

    uint32_t id() const noexcept;
};

// Anything the other kinds do not cover. An int beyond signed 64 bits keeps
// its canonical text (base 16) so that equal big ints compare equal; no such
// text is ever empty, so the empty text stands for none.
struct UnknownValue {
    ShortStr big_int_text;

    bool has_big_int() const noexcept { return big_int_text.size() != 0; }
};

// Kind numbers follow the variant order; the hash depends on them. Temporal
// came last so that the others kept their numbers.
enum class ValueKind : uint8_t { Int = 0, Float = 1, Str = 2, Bool = 3, Iterable = 4, Ind = 5, Unknown = 6, Temporal = 7 };

const char* value_kind_name(ValueKind kind) noexcept;

class CastValue {
public:
    CastValue() noexcept : v_(UnknownValue{}) {}

    static CastValue from_int(int64_t v) noexcept { return CastValue(std::in_place_index<0>, v); }
    static CastValue from_float(double v) noexcept { return CastValue(std::in_place_index<1>, v); }
    static CastValue from_str(ShortStr s) noexcept { return CastValue(std::in_place_index<2>, std::move(s)); }
    static CastValue from_bool(bool v) noexcept { return CastValue(std::in_place_index<3>, v); }
    static CastValue from_iterable(IterableValue v) noexcept { return CastValue(std::in_place_index<4>, std::move(v)); }
    static CastValue from_ind(IndexableLink v) noexcept { return CastValue(std::in_place_index<5>, std::move(v)); }
    static CastValue unknown(UnknownValue v = {}) noexcept { return CastValue(std::in_place_index<6>, std::move(v)); }
    static CastValue from_temporal(TemporalValue v) noexcept { return CastValue(std::in_place_index<7>, v); }

    ValueKind kind() const noexcept { return static_cast<ValueKind>(v_.index()); }
    bool is_int() const noexcept { return kind() == ValueKind::Int; }
    bool is_float() const noexcept { return kind() == ValueKind::Float; }
    bool is_str() const noexcept { return kind() == ValueKind::Str; }
    bool is_bool() const noexcept { return kind() == ValueKind::Bool; }
    bool is_iterable() const noexcept { return kind() == ValueKind::Iterable; }
    bool is_ind() const noexcept { return kind() == ValueKind::Ind; }
    bool is_unknown() const noexcept { return kind() == ValueKind::Unknown; }
    bool is_temporal() const noexcept { return kind() == ValueKind::Temporal; }
    // Whether values of this kind have an order: numbers (ints and floats
    // together) and each temporal kind on its own.
    bool is_ordered() const noexcept { return is_int() || is_float() || is_temporal(); }

    // Each accessor requires the matching kind.
    int64_t as_int() const noexcept { return *std::get_if<0>(&v_); }
    double as_float() const noexcept { return *std::get_if<1>(&v_); }
    const ShortStr& as_str() const noexcept { return *std::get_if<2>(&v_); }
    bool as_bool() const noexcept { return *std::get_if<3>(&v_); }
    const IterableValue& as_iterable() const noexcept { return *std::get_if<4>(&v_); }
    const IndexableLink& as_ind() const noexcept { return *std::get_if<5>(&v_); }
    const UnknownValue& as_unknown() const noexcept { return *std::get_if<6>(&v_); }
    const TemporalValue& as_temporal() const noexcept { return *std::get_if<7>(&v_); }

private:
    using Variant =
        std::variant<int64_t, double, ShortStr, bool, IterableValue, IndexableLink, UnknownValue, TemporalValue>;
    template <size_t I, class T>
    CastValue(std::in_place_index_t<I> at, T&& payload) noexcept : v_(at, std::forward<T>(payload)) {}

    Variant v_;
};

struct PyValue {
    PyHandle obj;
    CastValue primitive;
    uint64_t hash = 0;

    PyValue() noexcept = default;
    PyValue(PyHandle o, CastValue p, uint64_t h) noexcept : obj(std::move(o)), primitive(std::move(p)), hash(h) {}

    // Converts any Python object (borrowed). Ordinary errors of the Python
    // code it runs are absorbed; an interrupt, an exit or a MemoryError raised
    // by a __hash__ is thrown as PythonError. Needs the GIL, must not be
    // called while holding a native lock (it may run Python code: __index__,
    // __hash__, the first import of numpy).
    static PyValue from_py(PyObject* object);

    // The value an attribute map keeps for object: from_py's, except that a
    // bool or an int of the interpreter's small-int cache keeps no reference
    // (PyHandle::everlasting), which spares the attribute its reference box
    // while a read still finds the object without looking at the kind.
    static PyValue for_attribute(PyObject* object);

    // The hash of a primitive of any kind but Unknown, whose hash is the
    // Python hash of its object. A nested object hashes by identity: `object`
    // is the value's obj, which an Ind primitive does not hold itself.
    static uint64_t hash_of(const CastValue& primitive, const PyObject* object = nullptr) noexcept;

    ValueKind kind() const noexcept { return primitive.kind(); }
    // The nested object of an Ind value on its own (its object and record),
    // for work that outlives the value.
    StoredIndexable nested() const noexcept { return StoredIndexable{obj, primitive.as_ind().record}; }
    // Text of a Str value; empty for other kinds.
    std::string_view str() const noexcept { return primitive.is_str() ? primitive.as_str().view() : std::string_view(); }

    // A new reference to the value as Python sees it: int, float, str,
    // True/False for scalars (numpy scalars come back as builtins), the stored
    // object itself otherwise. Needs the GIL; null with an error set only on
    // allocation failure.
    PyObject* to_python() const;

    // The same value holding a new Python reference of its own (containers
    // and nested objects carry their object a second time, which follows).
    // Needs the GIL.
    PyValue with_own_reference() const;

    // Equality of stored values (hash first, then kind-specific rules).
    friend bool operator==(const PyValue& a, const PyValue& b) noexcept;
    friend bool operator!=(const PyValue& a, const PyValue& b) noexcept { return !(a == b); }

    // `PyValue { obj: Some(Py(0x...)), primitave: Int(3), hash: 123 }` (the
    // text keeps the field's former spelling); the alternate form puts every
    // field on its own line.
    std::string debug(bool alternate = false) const;
};

// Every attribute of every object holds one: the layout is part of the cost
// of an object. The widest alternatives (a text, a container, a temporal
// value, an unknown value's big-int text) are 24 bytes, so the variant is 32.
static_assert(sizeof(ShortStr) == 24 && sizeof(IterableValue) == 24 && sizeof(IndexableLink) <= 24 &&
              sizeof(UnknownValue) == 24 && sizeof(TemporalValue) == 24);
static_assert(sizeof(CastValue) == 32);
static_assert(sizeof(PyValue) == 56);

// For hash maps keyed by values.
struct PyValueHash {
    size_t operator()(const PyValue& v) const noexcept { return static_cast<size_t>(v.hash); }
};

}  // namespace tarnwick

// The typed value kept for every attribute and compared by every query.
//
// A PyValue carries the Python object it came from and the typed primitive
// the indexes work on. Its hash is not stored: it follows from the primitive
// (but for an opaque value, whose primitive keeps Python's hash), and every
// attribute of every object holds a value, while only indexing asks. Every Python
// reference in it is a PyHandle, so copying or dropping a value on a thread
// without the GIL never touches an interpreter reference count.
#pragma once

#include "index/core/structures/counted_ptr.hpp"
#include "index/pyref.hpp"
#include "index/temporal_value.hpp"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

namespace tarnwick {

struct IndexableRecord;
// Every holder of an object's record (indexable_record.hpp) holds it through
// this one word. Out of line, so that values copy and drop records here.
void count_up(const IndexableRecord* record) noexcept;
void count_down(const IndexableRecord* record) noexcept;
using RecordPtr = CountedPtr<IndexableRecord>;

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
    friend class CastValue;  // shares the tag byte
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
    PyHandle container;
    // After the handle, so that a stored value (CastValue) can keep its kind
    // byte past it.
    ContainerKind kind;

    IterableValue(ContainerKind k, PyHandle c) noexcept : container(std::move(c)), kind(k) {}
};

// The value of an attribute that holds another Indexable, as it is kept
// inside a value: a live view through the nested object's own record (its
// attribute map and engine list). The object itself is the value's `obj`,
// so the record is all this part holds.
struct IndexableLink {
    RecordPtr record;

    uint32_t id() const noexcept;
};

// A nested object on its own, outside any value (the queued nested work and
// the batches that carry it): the object and its record.
struct StoredIndexable {
    PyHandle python_handle;
    RecordPtr owned_handle;

    uint32_t id() const noexcept;
};

// Text shared by every copy through one counted heap block (atomic count),
// in a single word.
class SharedText {
public:
    SharedText() noexcept = default;
    explicit SharedText(std::string_view text);
    SharedText(const SharedText& o) noexcept : block_(o.block_) {
        if (block_) block_->refs.fetch_add(1, std::memory_order_relaxed);
    }
    SharedText(SharedText&& o) noexcept : block_(std::exchange(o.block_, nullptr)) {}
    SharedText& operator=(SharedText o) noexcept {
        std::swap(block_, o.block_);
        return *this;
    }
    ~SharedText();

    explicit operator bool() const noexcept { return block_ != nullptr; }
    std::string_view view() const noexcept {
        return block_ ? std::string_view(block_->data(), block_->size) : std::string_view();
    }

private:
    struct Block {
        std::atomic<uint32_t> refs;
        uint32_t size;
        char* data() noexcept { return reinterpret_cast<char*>(this + 1); }
    };
    Block* block_ = nullptr;
};
static_assert(sizeof(SharedText) == sizeof(void*));

// Anything the other kinds do not cover. Its hash is Python's hash of the
// object (that of the equal int for a big int), which nothing else can give
// again without the GIL, so the value keeps it. An int beyond signed 64 bits
// also keeps its canonical text (base 16) so that equal big ints compare
// equal. Both fit before a stored value's kind byte.
struct UnknownValue {
    uint64_t hash = 0;
    SharedText big_int_text;

    bool has_big_int() const noexcept { return static_cast<bool>(big_int_text); }
    std::string_view big_int() const noexcept { return big_int_text.view(); }
};

// Kind numbers are fixed: the hash and a stored value's tag byte (which has
// room for eight kinds) depend on them. Temporal came last so that the others
// kept their numbers.
enum class ValueKind : uint8_t { Int = 0, Float = 1, Str = 2, Bool = 3, Iterable = 4, Ind = 5, Unknown = 6, Temporal = 7 };

const char* value_kind_name(ValueKind kind) noexcept;

// Whether a payload of type T fits a CastValue and leaves its last byte
// alone: its members end at `end`, before that byte (what follows them is
// padding).
template <class T>
constexpr bool fits_before_tag(size_t end) {
    return sizeof(T) <= sizeof(ShortStr) && alignof(T) <= 8 && end < sizeof(ShortStr);
}

// The typed primitive of a value: one kind's payload and the kind, in 24
// bytes. The last byte is a text's own tag (an inline length of at most 23,
// or its heap mark), so a text needs no kind byte; every other payload ends
// before that byte (or has only padding there), which holds OTHER_KIND | kind,
// a value no text ever puts there.
class CastValue {
public:
    CastValue() noexcept { construct<UnknownValue>(ValueKind::Unknown); }
    CastValue(const CastValue& o) noexcept { copy_from(o); }
    CastValue(CastValue&& o) noexcept { move_from(o); }
    CastValue& operator=(const CastValue& o) noexcept {
        if (this != &o) {
            destroy();
            copy_from(o);
        }
        return *this;
    }
    CastValue& operator=(CastValue&& o) noexcept {
        if (this != &o) {
            destroy();
            move_from(o);
        }
        return *this;
    }
    ~CastValue() { destroy(); }

    static CastValue from_int(int64_t v) noexcept { return CastValue(ValueKind::Int, v); }
    static CastValue from_float(double v) noexcept { return CastValue(ValueKind::Float, v); }
    static CastValue from_str(ShortStr s) noexcept { return CastValue(ValueKind::Str, std::move(s)); }
    static CastValue from_bool(bool v) noexcept { return CastValue(ValueKind::Bool, v); }
    static CastValue from_iterable(IterableValue v) noexcept { return CastValue(ValueKind::Iterable, std::move(v)); }
    static CastValue from_ind(IndexableLink v) noexcept { return CastValue(ValueKind::Ind, std::move(v)); }
    static CastValue unknown(UnknownValue v = {}) noexcept { return CastValue(ValueKind::Unknown, std::move(v)); }
    static CastValue from_temporal(TemporalValue v) noexcept { return CastValue(ValueKind::Temporal, v); }

    ValueKind kind() const noexcept {
        const unsigned char tag = raw_[TAG_AT];
        return (tag & ~KIND_MASK) == OTHER_KIND ? static_cast<ValueKind>(tag & KIND_MASK) : ValueKind::Str;
    }
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
    int64_t as_int() const noexcept { return payload<int64_t>(); }
    double as_float() const noexcept { return payload<double>(); }
    const ShortStr& as_str() const noexcept { return payload<ShortStr>(); }
    bool as_bool() const noexcept { return payload<bool>(); }
    const IterableValue& as_iterable() const noexcept { return payload<IterableValue>(); }
    const IndexableLink& as_ind() const noexcept { return payload<IndexableLink>(); }
    const UnknownValue& as_unknown() const noexcept { return payload<UnknownValue>(); }
    const TemporalValue& as_temporal() const noexcept { return payload<TemporalValue>(); }

private:
    static constexpr size_t SIZE = sizeof(ShortStr);
    static constexpr size_t TAG_AT = ShortStr::TAG_AT;
    static constexpr unsigned char OTHER_KIND = 0xE0;
    static constexpr unsigned char KIND_MASK = 0x07;
    static_assert(TAG_AT == SIZE - 1 && ShortStr::INLINE_CAPACITY < OTHER_KIND &&
                  (ShortStr::HEAP_TAG & ~KIND_MASK) != OTHER_KIND);

    static_assert(fits_before_tag<int64_t>(sizeof(int64_t)) && fits_before_tag<double>(sizeof(double)) &&
                  fits_before_tag<bool>(sizeof(bool)) && fits_before_tag<IndexableLink>(sizeof(IndexableLink)) &&
                  fits_before_tag<UnknownValue>(sizeof(UnknownValue)));
    static_assert(fits_before_tag<IterableValue>(offsetof(IterableValue, kind) + sizeof(ContainerKind)));
    static_assert(fits_before_tag<TemporalValue>(offsetof(TemporalValue, kind) + sizeof(TemporalKind)));

    template <class T>
    CastValue(ValueKind kind, T&& payload) noexcept {
        construct<std::decay_t<T>>(kind, std::forward<T>(payload));
    }

    // Builds the payload, then marks the kind (after, since building may
    // write the payload's padding).
    template <class T, class... Args>
    void construct(ValueKind kind, Args&&... args) noexcept {
        ::new (static_cast<void*>(raw_)) T(std::forward<Args>(args)...);
        if (kind != ValueKind::Str) raw_[TAG_AT] = static_cast<unsigned char>(OTHER_KIND | static_cast<uint8_t>(kind));
    }
    template <class T>
    const T& payload() const noexcept {
        return *std::launder(reinterpret_cast<const T*>(raw_));
    }
    template <class T>
    T& payload() noexcept {
        return *std::launder(reinterpret_cast<T*>(raw_));
    }

    void copy_from(const CastValue& o) noexcept {
        switch (o.kind()) {
            case ValueKind::Str: construct<ShortStr>(ValueKind::Str, o.payload<ShortStr>()); return;
            case ValueKind::Iterable: construct<IterableValue>(ValueKind::Iterable, o.payload<IterableValue>()); return;
            case ValueKind::Ind: construct<IndexableLink>(ValueKind::Ind, o.payload<IndexableLink>()); return;
            case ValueKind::Unknown: construct<UnknownValue>(ValueKind::Unknown, o.payload<UnknownValue>()); return;
            case ValueKind::Int:
            case ValueKind::Float:
            case ValueKind::Bool:
            case ValueKind::Temporal: break;
        }
        std::memcpy(raw_, o.raw_, SIZE);  // plain payloads, tag included
    }
    // Leaves `o` holding a moved-from payload of its kind, which its
    // destructor still destroys.
    void move_from(CastValue& o) noexcept {
        switch (o.kind()) {
            case ValueKind::Str: construct<ShortStr>(ValueKind::Str, std::move(o.payload<ShortStr>())); return;
            case ValueKind::Iterable:
                construct<IterableValue>(ValueKind::Iterable, std::move(o.payload<IterableValue>()));
                return;
            case ValueKind::Ind: construct<IndexableLink>(ValueKind::Ind, std::move(o.payload<IndexableLink>())); return;
            case ValueKind::Unknown:
                construct<UnknownValue>(ValueKind::Unknown, std::move(o.payload<UnknownValue>()));
                return;
            case ValueKind::Int:
            case ValueKind::Float:
            case ValueKind::Bool:
            case ValueKind::Temporal: break;
        }
        std::memcpy(raw_, o.raw_, SIZE);
    }
    void destroy() noexcept {
        switch (kind()) {
            case ValueKind::Str: payload<ShortStr>().~ShortStr(); return;
            case ValueKind::Iterable: payload<IterableValue>().~IterableValue(); return;
            case ValueKind::Ind: payload<IndexableLink>().~IndexableLink(); return;
            case ValueKind::Unknown: payload<UnknownValue>().~UnknownValue(); return;
            case ValueKind::Int:
            case ValueKind::Float:
            case ValueKind::Bool:
            case ValueKind::Temporal: return;
        }
    }

    alignas(8) unsigned char raw_[SIZE];
};

struct PyValue {
    PyHandle obj;
    CastValue primitive;

    PyValue() noexcept = default;
    PyValue(PyHandle o, CastValue p) noexcept : obj(std::move(o)), primitive(std::move(p)) {}

    // Converts any Python object (borrowed). Ordinary errors of the Python
    // code it runs are absorbed; an interrupt, an exit or a MemoryError raised
    // by a __hash__ is thrown as PythonError. Needs the GIL, must not be
    // called while holding a native lock (it may run Python code: __index__,
    // __hash__, the first import of numpy).
    static PyValue from_py(PyObject* object);

    // The value an attribute map keeps for object: from_py's, except that a
    // number, text or bool keeps its object in the handle's own word, with no
    // reference box: a bool or an int of the interpreter's small-int cache
    // without a reference (PyHandle::everlasting), the others with a direct
    // reference (PyHandle::direct). A read finds the object without looking
    // at the kind; the engine's copies of the value carry the primitive
    // alone, which is all it uses of these kinds, and to_python gives such a
    // copy back from it.
    static PyValue for_attribute(PyObject* object);

    // The hash of a primitive: a function of the primitive but for Unknown,
    // which carries the Python hash of its object. A nested object hashes by
    // identity: `object` is the value's obj, which an Ind primitive does not
    // hold itself. Computed at every call (a text is read through).
    static uint64_t hash_of(const CastValue& primitive, const PyObject* object = nullptr) noexcept;
    uint64_t hash() const noexcept { return hash_of(primitive, obj.get()); }

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
    // and nested objects carry their object a second time, which follows; a
    // direct reference stays direct). Needs the GIL.
    PyValue with_own_reference() const;

    // Equality of stored values: the same kind (values of different kinds
    // never hash alike), then kind-specific rules; an opaque value compares
    // its Python hash first.
    friend bool operator==(const PyValue& a, const PyValue& b) noexcept;
    friend bool operator!=(const PyValue& a, const PyValue& b) noexcept { return !(a == b); }

    // `PyValue { obj: Some(Py(0x...)), primitave: Int(3), hash: 123 }` (the
    // text keeps the field's former spelling); the alternate form puts every
    // field on its own line.
    std::string debug(bool alternate = false) const;
};

// Every attribute of every object holds one: the layout is part of the cost
// of an object.
static_assert(sizeof(CastValue) == 24);
static_assert(sizeof(UnknownValue) == 16);
static_assert(sizeof(PyHandle) == 8);
static_assert(sizeof(IterableValue) == 16);
static_assert(sizeof(PyValue) == 32);

// For hash maps keyed by values.
struct PyValueHash {
    size_t operator()(const PyValue& v) const noexcept { return static_cast<size_t>(v.hash()); }
};

}  // namespace tarnwick

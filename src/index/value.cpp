#include "index/value.hpp"

#include <bit>
#include <cmath>
#include <cstring>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "index/core/structures/fx_hash.hpp"
#include "index/debug_text.hpp"
#include "index/indexable_record.hpp"
#include "index/python_error.hpp"
#include "index/types.hpp"

namespace tarnwick {

// ---- ShortStr ---------------------------------------------------------------

ShortStr::ShortStr(std::string_view text) {
    if (text.size() <= INLINE_CAPACITY) {
        if (!text.empty()) std::memcpy(raw_, text.data(), text.size());
        raw_[TAG_AT] = static_cast<unsigned char>(text.size());
        return;
    }
    void* mem = ::operator new(sizeof(Heap) + text.size());
    Heap* h = new (mem) Heap{{1}, text.size()};
    std::memcpy(h->data(), text.data(), text.size());
    std::memcpy(raw_, &h, sizeof h);
    raw_[TAG_AT] = HEAP_TAG;
}

ShortStr::ShortStr(const ShortStr& o) noexcept {
    std::memcpy(raw_, o.raw_, sizeof raw_);
    if (!is_inline()) heap()->refs.fetch_add(1, std::memory_order_relaxed);
}

ShortStr::ShortStr(ShortStr&& o) noexcept {
    std::memcpy(raw_, o.raw_, sizeof raw_);
    o.raw_[TAG_AT] = 0;  // o becomes the empty inline text
}

ShortStr::~ShortStr() {
    if (is_inline()) return;
    Heap* h = heap();
    if (h->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        h->~Heap();
        ::operator delete(h);
    }
}

ShortStr::Heap* ShortStr::heap() const noexcept {
    Heap* h;
    std::memcpy(&h, raw_, sizeof h);
    return h;
}

std::string_view ShortStr::view() const noexcept {
    if (is_inline()) return {reinterpret_cast<const char*>(raw_), raw_[TAG_AT]};
    Heap* h = heap();
    return {h->data(), h->size};
}

void ShortStr::swap(ShortStr& o) noexcept {
    unsigned char tmp[sizeof raw_];
    std::memcpy(tmp, raw_, sizeof raw_);
    std::memcpy(raw_, o.raw_, sizeof raw_);
    std::memcpy(o.raw_, tmp, sizeof raw_);
}

// ---- SharedText -------------------------------------------------------------

SharedText::SharedText(std::string_view text) {
    void* mem = ::operator new(sizeof(Block) + text.size());
    block_ = new (mem) Block{{1}, static_cast<uint32_t>(text.size())};
    if (!text.empty()) std::memcpy(block_->data(), text.data(), text.size());
}

SharedText::~SharedText() {
    if (block_ && block_->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        block_->~Block();
        ::operator delete(block_);
    }
}

// ---- names ------------------------------------------------------------------

const char* container_kind_name(ContainerKind kind) noexcept {
    switch (kind) {
        case ContainerKind::List: return "List";
        case ContainerKind::Dict: return "Dict";
        case ContainerKind::Tuple: return "Tuple";
        case ContainerKind::Set: return "Set";
    }
    return "List";
}

const char* value_kind_name(ValueKind kind) noexcept {
    static const char* const names[] = {"Int", "Float", "Str", "Bool", "Iterable", "Ind", "Unknown", "Temporal"};
    return names[static_cast<size_t>(kind)];
}

// ---- StoredIndexable ----------------------------------------------------------

uint32_t IndexableLink::id() const noexcept { return record ? record->id : 0; }

uint32_t StoredIndexable::id() const noexcept { return owned_handle ? owned_handle->id : 0; }

// ---- conversion -------------------------------------------------------------

namespace {

uint64_t kind_hash(uint64_t payload, ValueKind kind) noexcept {
    FxHasher32 h;
    h.add64(payload);
    h.add(static_cast<uint32_t>(kind) + 1);
    return h.finish();
}

uint64_t address_of(const void* p) noexcept { return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(p)); }

// Objects whose __hash__ is missing or fails hash by identity; equality of
// such values is identity anyway. An interrupt, an exit or exhausted memory
// is no reason to hash by identity: it ends the operation.
uint64_t python_hash(PyObject* obj) {
    Py_hash_t h = PyObject_Hash(obj);
    if (h == -1 && PyErr_Occurred()) {
        if (!pending_error_is_ordinary()) throw PythonError::fetch();
        PyErr_Clear();
        FxHasher32 fx;
        fx.add64(address_of(obj));
        fx.add(static_cast<uint32_t>(ValueKind::Unknown) + 1);
        return fx.finish();
    }
    return static_cast<uint64_t>(static_cast<int64_t>(h));  // sign-extended
}

PyValue make_unknown(PyHandle handle) {
    UnknownValue payload;
    payload.hash = python_hash(handle.get());
    return PyValue(std::move(handle), CastValue::unknown(std::move(payload)));
}

PyValue make_known(PyHandle handle, CastValue primitive) { return PyValue(std::move(handle), std::move(primitive)); }

// An integer outside signed 64 bits (an int, or a numpy integer such as a
// large uint64): opaque, but tagged with its base-16 text and hashed as the
// equal int, so that equal big ints compare equal whatever their type (base
// 16 is linear-time and free of the interpreter's decimal-length limit).
PyValue big_int_value(PyHandle handle) {
    OwnedRef exact = OwnedRef::steal(PyLong_CheckExact(handle.get()) ? Py_NewRef(handle.get())
                                                                      : PyNumber_Index(handle.get()));
    if (!exact) {
        PyErr_Clear();
        return make_unknown(std::move(handle));
    }
    UnknownValue payload;
    OwnedRef text = OwnedRef::steal(PyNumber_ToBase(exact.get(), 16));
    Py_ssize_t n = 0;
    const char* utf8 = text ? PyUnicode_AsUTF8AndSize(text.get(), &n) : nullptr;
    if (utf8) payload.big_int_text = SharedText(std::string_view(utf8, static_cast<size_t>(n)));
    else PyErr_Clear();
    payload.hash = python_hash(exact.get());
    return PyValue(std::move(handle), CastValue::unknown(std::move(payload)));
}

PyValue int_value(PyHandle handle) {
    long long v = PyLong_AsLongLong(handle.get());  // numpy ints go through __index__
    if (v == -1 && PyErr_Occurred()) {
        bool overflow = PyErr_ExceptionMatches(PyExc_OverflowError);
        PyErr_Clear();
        return overflow ? big_int_value(std::move(handle)) : make_unknown(std::move(handle));
    }
    return make_known(std::move(handle), CastValue::from_int(v));
}

// A numpy floating scalar is a Float when its double is the same number:
// always for half, single and double precision; a long double that a double
// cannot hold exactly stays opaque rather than equal a number it is not.
PyValue numpy_float_value(PyHandle handle) {
    PyObject* object = handle.get();
    const double v = PyFloat_AsDouble(object);
    if (v == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        return make_unknown(std::move(handle));
    }
    if (Py_TYPE(object) == NP_LONGDOUBLE_CELL() && !std::isnan(v)) {
        OwnedRef as_double = OwnedRef::steal(PyFloat_FromDouble(v));
        const int same = as_double ? PyObject_RichCompareBool(object, as_double.get(), Py_EQ) : -1;
        if (same != 1) {
            if (same < 0) PyErr_Clear();
            return make_unknown(std::move(handle));
        }
    }
    return make_known(std::move(handle), CastValue::from_float(v));
}

// Text of a str: UTF-8, with lone surrogates kept as their three-byte forms so
// that no str is refused and distinct strs stay distinct.
bool str_text(PyObject* obj, ShortStr& out) {
    Py_ssize_t n = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &n)) {
        out = ShortStr(std::string_view(utf8, static_cast<size_t>(n)));
        return true;
    }
    PyErr_Clear();
    OwnedRef bytes = OwnedRef::steal(PyUnicode_AsEncodedString(obj, "utf-8", "surrogatepass"));
    if (!bytes) {
        PyErr_Clear();
        return false;
    }
    out = ShortStr(
        std::string_view(PyBytes_AS_STRING(bytes.get()), static_cast<size_t>(PyBytes_GET_SIZE(bytes.get()))));
    return true;
}

bool attr_equals(PyObject* type, const char* attr, const char* expected) {
    OwnedRef value = OwnedRef::steal(PyObject_GetAttrString(type, attr));
    if (!value) {
        PyErr_Clear();
        return false;
    }
    return PyUnicode_Check(value.get()) && PyUnicode_CompareWithASCIIString(value.get(), expected) == 0;
}

// numpy's bool scalar: its truth slot, or nothing (then the value is opaque).
std::optional<bool> numpy_bool(PyObject* obj) {
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(obj));
    if (!attr_equals(type, "__module__", "numpy")) return std::nullopt;
    if (!attr_equals(type, "__name__", "bool_") && !attr_equals(type, "__name__", "bool")) return std::nullopt;
    PyNumberMethods* nb = Py_TYPE(obj)->tp_as_number;
    if (!nb || !nb->nb_bool) return std::nullopt;
    int truth = nb->nb_bool(obj);
    if (truth < 0) {
        PyErr_Clear();
        return std::nullopt;
    }
    return truth != 0;
}

// The subclass test of PyObject_IsSubclass: Indexable's metaclass is plain
// type, so no __subclasscheck__ hook applies, and this form cannot fail.
bool is_indexable_type(PyTypeObject* type) {
    PyTypeObject* base = INDEXABLE_TYPE_IF_MADE();
    return base && PyType_IsSubtype(type, base) != 0;
}

}  // namespace

PyValue PyValue::from_py(PyObject* object) {
    PyHandle handle = PyHandle::borrow(object);
    PyTypeObject* type = Py_TYPE(object);

    if (INT_TYPES().contains(type)) return int_value(std::move(handle));
    if (FLOAT_TYPES().contains(type)) {
        double v = type == &PyFloat_Type ? PyFloat_AS_DOUBLE(object) : PyFloat_AsDouble(object);
        if (v == -1.0 && PyErr_Occurred()) {
            PyErr_Clear();
            return make_unknown(std::move(handle));
        }
        return make_known(std::move(handle), CastValue::from_float(v));
    }
    if (STR_TYPES().contains(type)) {
        ShortStr text;
        if (!str_text(object, text)) return make_unknown(std::move(handle));
        return make_known(std::move(handle), CastValue::from_str(std::move(text)));
    }
    if (BOOL_TYPES().contains(type)) {
        if (type == &PyBool_Type) return make_known(std::move(handle), CastValue::from_bool(object == Py_True));
        std::optional<bool> truth = numpy_bool(object);
        if (!truth) return make_unknown(std::move(handle));
        return make_known(std::move(handle), CastValue::from_bool(*truth));
    }
    if (is_indexable_type(type))
        return PyValue(std::move(handle), CastValue::from_ind(IndexableLink{indexable_record(object)}));
    std::optional<ContainerKind> container;
    if (type == &PyList_Type) container = ContainerKind::List;
    else if (type == &PyTuple_Type) container = ContainerKind::Tuple;
    else if (type == &PyDict_Type) container = ContainerKind::Dict;
    else if (type == &PySet_Type) container = ContainerKind::Set;
    if (container) {
        IterableValue iterable{*container, handle};
        return make_known(std::move(handle), CastValue::from_iterable(std::move(iterable)));
    }
    // The rarer kinds come last, so that the common ones above pay nothing
    // for them.
    if (NUMPY_INTEGER_TYPES().contains(type)) return int_value(std::move(handle));
    if (NUMPY_FLOATING_TYPES().contains(type)) return numpy_float_value(std::move(handle));
    if (is_temporal_type(type)) {
        if (std::optional<TemporalValue> t = temporal_from_py(object))
            return make_known(std::move(handle), CastValue::from_temporal(*t));
    }
    return make_unknown(std::move(handle));
}

PyValue PyValue::for_attribute(PyObject* object) {
    // The interpreter keeps these objects for its whole life, and makes no
    // others of equal value: PyLong_FromLongLong and Py_True/Py_False are
    // the very objects that were stored.
    constexpr long long SMALL_INT_MIN = -5;
    constexpr long long SMALL_INT_MAX = 256;
    PyTypeObject* type = Py_TYPE(object);
    if (type == &PyBool_Type)
        return make_known(PyHandle::everlasting(object), CastValue::from_bool(object == Py_True));
    if (type == &PyLong_Type) {
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(object, &overflow);
        if (!overflow && v >= SMALL_INT_MIN && v <= SMALL_INT_MAX)
            return make_known(PyHandle::everlasting(object), CastValue::from_int(v));
        if (!overflow && !(v == -1 && PyErr_Occurred()))
            return make_known(PyHandle::direct(Py_NewRef(object)), CastValue::from_int(v));
        PyErr_Clear();
    } else if (type == &PyFloat_Type) {
        return make_known(PyHandle::direct(Py_NewRef(object)), CastValue::from_float(PyFloat_AS_DOUBLE(object)));
    } else if (type == &PyUnicode_Type) {
        ShortStr text;
        if (str_text(object, text))
            return make_known(PyHandle::direct(Py_NewRef(object)), CastValue::from_str(std::move(text)));
    }
    PyValue value = from_py(object);
    switch (value.kind()) {
        // The rarer scalar types (numpy's): converted with a box, kept without.
        case ValueKind::Int:
        case ValueKind::Float:
        case ValueKind::Str:
        case ValueKind::Bool: value.obj = PyHandle::direct(Py_NewRef(object)); break;
        // Temporal values stay shared: to_python gives back the stored object,
        // which the primitive alone cannot rebuild (a datetime's tzinfo).
        default: break;
    }
    return value;
}

uint64_t PyValue::hash_of(const CastValue& p, const PyObject* object) noexcept {
    switch (p.kind()) {
        case ValueKind::Int: return kind_hash(static_cast<uint64_t>(p.as_int()), ValueKind::Int);
        case ValueKind::Float: return kind_hash(std::bit_cast<uint64_t>(p.as_float()), ValueKind::Float);
        case ValueKind::Str: {
            std::string_view text = p.as_str().view();
            FxHasher32 h;
            h.add(fx_digest_bytes(text.data(), text.size()));
            h.add(0xFFu);
            h.add(static_cast<uint32_t>(ValueKind::Str) + 1);
            return h.finish();
        }
        case ValueKind::Bool: return kind_hash(p.as_bool() ? 1 : 0, ValueKind::Bool);
        // Iterable values are only ever equal to values of the same container,
        // so its address is as good a hash as any.
        case ValueKind::Iterable: return kind_hash(address_of(p.as_iterable().container.get()), ValueKind::Iterable);
        case ValueKind::Ind: return kind_hash(address_of(object), ValueKind::Ind);
        case ValueKind::Temporal: {
            const TemporalValue& t = p.as_temporal();
            FxHasher32 h;
            h.add64(static_cast<uint64_t>(t.days));
            h.add64(static_cast<uint64_t>(t.micros));
            h.add(static_cast<uint32_t>(t.kind));
            h.add(static_cast<uint32_t>(ValueKind::Temporal) + 1);
            return h.finish();
        }
        case ValueKind::Unknown: return p.as_unknown().hash;
    }
    return 0;
}

// ---- back to Python ---------------------------------------------------------

PyValue PyValue::with_own_reference() const {
    if (!obj) return *this;
    PyHandle own = obj.is_direct() ? PyHandle::direct(Py_NewRef(obj.get())) : PyHandle::borrow(obj.get());
    CastValue p = primitive;
    if (p.is_iterable()) p = CastValue::from_iterable(IterableValue{p.as_iterable().kind, own});
    return PyValue(std::move(own), std::move(p));
}

PyObject* PyValue::to_python() const {
    PyObject* o = obj.get();
    // Whatever the kind, a stored object of exactly one of these types is the
    // answer; checking them first spares the common read a look at the kind,
    // which lies on another cache line.
    if (o) {
        const PyTypeObject* type = Py_TYPE(o);
        if (type == &PyLong_Type || type == &PyFloat_Type || type == &PyUnicode_Type || type == &PyBool_Type)
            return Py_NewRef(o);
    }
    switch (primitive.kind()) {
        case ValueKind::Int:
            if (o && Py_IS_TYPE(o, &PyLong_Type)) return Py_NewRef(o);
            return PyLong_FromLongLong(primitive.as_int());
        case ValueKind::Float:
            if (o && Py_IS_TYPE(o, &PyFloat_Type)) return Py_NewRef(o);
            return PyFloat_FromDouble(primitive.as_float());
        case ValueKind::Str: {
            if (o && Py_IS_TYPE(o, &PyUnicode_Type)) return Py_NewRef(o);
            std::string_view text = primitive.as_str().view();
            return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogatepass");
        }
        case ValueKind::Bool: return Py_NewRef(primitive.as_bool() ? Py_True : Py_False);
        case ValueKind::Iterable:
        case ValueKind::Ind:
        case ValueKind::Unknown:
        case ValueKind::Temporal: break;
    }
    return Py_NewRef(o ? o : Py_None);
}

// ---- equality ---------------------------------------------------------------

// The hash of every kind mixes in the kind, so values of two kinds (an int
// and the equal float, say) never passed the hash test that once came first:
// they stay unequal. Within a kind, equal hashes follow from equal payloads,
// but for a float, whose hash is its bits: -0.0 and 0.0 differ.
bool operator==(const PyValue& a, const PyValue& b) noexcept {
    const CastValue& l = a.primitive;
    const CastValue& r = b.primitive;
    if (l.kind() != r.kind()) return false;
    switch (l.kind()) {
        case ValueKind::Int: return l.as_int() == r.as_int();
        case ValueKind::Float:
            return std::bit_cast<uint64_t>(l.as_float()) == std::bit_cast<uint64_t>(r.as_float()) &&
                   l.as_float() == r.as_float();
        case ValueKind::Str: return l.as_str() == r.as_str();
        case ValueKind::Bool: return l.as_bool() == r.as_bool();
        case ValueKind::Iterable: return l.as_iterable().container.same_object(r.as_iterable().container);
        case ValueKind::Ind: return a.obj.same_object(b.obj);
        case ValueKind::Unknown: {
            const UnknownValue& lu = l.as_unknown();
            const UnknownValue& ru = r.as_unknown();
            if (lu.hash != ru.hash) return false;
            if (a.obj.same_object(b.obj)) return true;
            return lu.has_big_int() && ru.has_big_int() && lu.big_int() == ru.big_int();
        }
        case ValueKind::Temporal: return l.as_temporal() == r.as_temporal();
    }
    return false;
}

// ---- debug text -------------------------------------------------------------

namespace {

DebugNode handle_node(const PyHandle& h) { return DebugNode::tuple("Py", {DebugNode::leaf(debug_pointer(h.get()))}); }

DebugNode cast_node(const CastValue& p, const PyHandle& obj) {
    const char* name = value_kind_name(p.kind());
    switch (p.kind()) {
        case ValueKind::Int: return DebugNode::tuple(name, {DebugNode::leaf(std::to_string(p.as_int()))});
        case ValueKind::Float: return DebugNode::tuple(name, {DebugNode::leaf(debug_float(p.as_float()))});
        case ValueKind::Str: return DebugNode::tuple(name, {DebugNode::leaf(debug_quote(p.as_str().view()))});
        case ValueKind::Bool: return DebugNode::tuple(name, {DebugNode::leaf(p.as_bool() ? "true" : "false")});
        case ValueKind::Iterable:
            return DebugNode::tuple(name, {DebugNode::leaf(container_kind_name(p.as_iterable().kind))});
        case ValueKind::Ind: {
            const IndexableLink& link = p.as_ind();
            // The object frees its id when its record goes; a value that
            // holds the object never does on its own account.
            DebugNode owned = link.record
                                  ? DebugNode::record("IndexableRecord",
                                                      {{"id", DebugNode::leaf(std::to_string(link.record->id))},
                                                       {"frees_id", DebugNode::leaf("false")}})
                                  : DebugNode::leaf("None");
            return DebugNode::tuple(name, {DebugNode::record("StoredIndexable", {{"python_handle", handle_node(obj)},
                                                                                 {"owned_handle", std::move(owned)}})});
        }
        case ValueKind::Temporal: {
            const TemporalValue& t = p.as_temporal();
            return DebugNode::tuple(name, {DebugNode::tuple(temporal_kind_name(t.kind),
                                                            {DebugNode::leaf(std::to_string(t.days)),
                                                             DebugNode::leaf(std::to_string(t.micros))})});
        }
        case ValueKind::Unknown: break;
    }
    return DebugNode::leaf(name);
}

}  // namespace

std::string PyValue::debug(bool alternate) const {
    DebugNode obj_node = obj ? DebugNode::tuple("Some", {handle_node(obj)}) : DebugNode::leaf("None");
    return DebugNode::record("PyValue", {{"obj", std::move(obj_node)},
                                         {"primitave", cast_node(primitive, obj)},
                                         {"hash", DebugNode::leaf(std::to_string(hash()))}})
        .render(alternate);
}

}  // namespace tarnwick

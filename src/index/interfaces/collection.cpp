#include "index/interfaces/collection.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "index/core/index.hpp"
#include "index/core/ordering.hpp"
#include "index/core/value_counts.hpp"
#include "index/indexable_record.hpp"
#include "index/interfaces/boundary.hpp"
#include "index/interfaces/filtered_index.hpp"
#include "index/temporal_value.hpp"
#include "index/types.hpp"

namespace tarnwick {
namespace {

constexpr uint64_t no_limit = std::numeric_limits<uint64_t>::max();

// The objects of the slots of `ids` (in that order) that hold one the view
// held, each with its id. GIL held, no native lock held.
template <class ForEachId>
std::vector<std::pair<uint32_t, OwnedRef>> objects_of(const FilteredView& view, size_t expected, ForEachId&& for_each_id) {
    std::vector<std::pair<uint32_t, OwnedRef>> out;
    // Reserved before the lock: an allocation never runs Python code, but
    // the table is best held briefly.
    out.reserve(expected);
    GilSafeReadGuard<RwLock> guard(view.items->lock());
    const ItemTable& table = view.items->get();
    for_each_id([&](uint32_t id) {
        if (id < table.size() && held_since(table[id], view.epoch)) {
            out.emplace_back(id, OwnedRef::steal(Py_NewRef(table[id].object)));
        }
    });
    return out;
}

// ---- arguments ---------------------------------------------------------------------

bool count_argument(const char* fname, const char* name, PyObject* value, bool none_allowed, uint64_t& out) {
    if (!value || (none_allowed && value == Py_None)) return true;
    if (!PyLong_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be %s, not %.200s", fname, name,
                     none_allowed ? "int or None" : "int", Py_TYPE(value)->tp_name);
        return false;
    }
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (v == -1 && PyErr_Occurred()) return false;
    if (overflow < 0 || (overflow == 0 && v < 0)) {
        PyErr_Format(PyExc_ValueError, "%s() argument '%s' must not be negative", fname, name);
        return false;
    }
    out = overflow > 0 ? no_limit : static_cast<uint64_t>(v);
    return true;
}

struct CollectArgs {
    PyObject* order_by = nullptr;  // borrowed str, or null
    bool descending = false;
    uint64_t limit = no_limit;
    uint64_t offset = 0;
};

std::optional<CollectArgs> collect_args(PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"order_by", "descending", "limit", "offset", nullptr};
    PyObject *order_by = Py_None, *descending = nullptr, *limit = nullptr, *offset = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|$OOOO:collect", const_cast<char**>(keywords), &order_by,
                                     &descending, &limit, &offset)) {
        return std::nullopt;
    }
    CollectArgs out;
    if (order_by != Py_None) {
        if (!PyUnicode_Check(order_by)) {
            PyErr_Format(PyExc_TypeError, "collect() argument 'order_by' must be str or None, not %.200s",
                         Py_TYPE(order_by)->tp_name);
            return std::nullopt;
        }
        out.order_by = order_by;
    }
    if (descending) {
        if (!PyLong_Check(descending)) {
            PyErr_Format(PyExc_TypeError, "collect() argument 'descending' must be bool, not %.200s",
                         Py_TYPE(descending)->tp_name);
            return std::nullopt;
        }
        const int truth = PyObject_IsTrue(descending);
        if (truth < 0) return std::nullopt;
        out.descending = truth != 0;
    }
    if (!count_argument("collect", "limit", limit, true, out.limit)) return std::nullopt;
    if (!count_argument("collect", "offset", offset, false, out.offset)) return std::nullopt;
    return out;
}

// ---- ordering ------------------------------------------------------------------------

// Groups in ascending order. Each temporal kind is a group of its own, since
// Python orders none of them against another (nor naive against aware
// values); descending reverses every group but the last, objects whose key
// is missing or of another kind.
enum class Group {
    Number = 0,
    Bool,
    Str,
    Date,
    DateTime,
    AwareDateTime,
    Time,
    AwareTime,
    TimeDelta,
    Other,
};

constexpr int last_ordered_group = static_cast<int>(Group::TimeDelta);

Group temporal_group(TemporalKind kind) {
    return static_cast<Group>(static_cast<int>(Group::Date) + static_cast<int>(kind));
}

bool is_temporal_group(Group g) { return g >= Group::Date && g <= Group::TimeDelta; }

struct Keyed {
    uint32_t id;
    OwnedRef object;
    Group group;
    OwnedRef key;  // null for Other and the temporal groups
    // Aware values as instants, as the index keeps them: Python compares two
    // values sharing a tzinfo by wall time, which is not the order of the index.
    TemporalValue temporal;
};

bool is_ordered_number(PyObject* v) {
    if (PyBool_Check(v)) return false;
    if (PyFloat_Check(v)) return !std::isnan(PyFloat_AS_DOUBLE(v));
    return PyLong_Check(v);
}

// The numpy scalars that the index takes for numbers or bools, as the Python
// int, float or bool they equal, so that keys compare exactly (numpy compares
// its scalars with Python numbers in the scalar's own width). Null without an
// error when `v` is none of them, a NaN, or a long double no float equals.
OwnedRef numpy_key(PyObject* v, Group& group) {
    PyTypeObject* type = Py_TYPE(v);
    if (type == &PyLong_Type || type == &PyFloat_Type) return OwnedRef();
    if (PyFloat_Check(v) || NUMPY_FLOATING_TYPES().contains(type)) {
        const double d = PyFloat_AsDouble(v);
        if (d == -1.0 && PyErr_Occurred()) return OwnedRef();
        if (std::isnan(d)) return OwnedRef();
        OwnedRef plain = OwnedRef::steal(PyFloat_FromDouble(d));
        if (!plain) return OwnedRef();
        // A long double that no float equals stays a value of another kind.
        const int exact = PyFloat_Check(v) ? 1 : PyObject_RichCompareBool(v, plain.get(), Py_EQ);
        if (exact <= 0) return OwnedRef();
        group = Group::Number;
        return plain;
    }
    if (NUMPY_INTEGER_TYPES().contains(type)) {
        group = Group::Number;
        return OwnedRef::steal(PyNumber_Index(v));
    }
    if (type != &PyBool_Type && BOOL_TYPES().contains(type)) {
        const int truth = PyObject_IsTrue(v);
        if (truth < 0) return OwnedRef();
        group = Group::Bool;
        return OwnedRef::steal(Py_NewRef(truth ? Py_True : Py_False));
    }
    return OwnedRef();
}

// The value that Python attribute access along `path` gives for obj, and its
// group; Other when an attribute on the way is missing. False with the error
// set when an attribute access (or a tzinfo's utcoffset) raises anything else.
bool key_of(PyObject* obj, const std::vector<OwnedRef>& path, Keyed& out) {
    OwnedRef current = OwnedRef::steal(Py_NewRef(obj));
    for (const OwnedRef& name : path) {
        PyObject* next = PyObject_GetAttr(current.get(), name.get());
        if (!next) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
            PyErr_Clear();
            out.group = Group::Other;
            return true;
        }
        current = OwnedRef::steal(next);
    }
    PyObject* v = current.get();
    out.group = Group::Other;
    if (OwnedRef plain = numpy_key(v, out.group)) {
        out.key = std::move(plain);
        return true;
    }
    if (PyErr_Occurred()) return false;
    if (PyBool_Check(v)) {
        out.group = Group::Bool;
    } else if (is_ordered_number(v)) {
        out.group = Group::Number;
    } else if (PyUnicode_Check(v)) {
        out.group = Group::Str;
    } else if (is_temporal_type(Py_TYPE(v))) {
        // A tzinfo that fails leaves the value opaque, as the index keeps it.
        if (std::optional<TemporalValue> t = temporal_from_py(v)) {
            out.group = temporal_group(t->kind);
            out.temporal = *t;
        }
        return true;
    } else {
        return true;
    }
    out.key = std::move(current);
    return true;
}

class Ordering {
public:
    explicit Ordering(bool descending) : descending_(descending) {}

    int rank(Group g) const {
        const int n = static_cast<int>(g);
        return descending_ && g != Group::Other ? last_ordered_group - n : n;
    }

    // Sorts stably by group, key and then id; false with the error set when
    // a comparison raised.
    bool sort(std::vector<Keyed>& entries) const {
        bool failed = false;
        std::stable_sort(entries.begin(), entries.end(), [&](const Keyed& a, const Keyed& b) {
            if (failed) return false;
            const int ra = rank(a.group), rb = rank(b.group);
            if (ra != rb) return ra < rb;
            const Keyed& lo = descending_ ? b : a;
            const Keyed& hi = descending_ ? a : b;
            if (is_temporal_group(a.group)) {
                if (lo.temporal != hi.temporal) return lo.temporal < hi.temporal;
            } else if (a.group != Group::Other) {
                const int less = PyObject_RichCompareBool(lo.key.get(), hi.key.get(), Py_LT);
                if (less < 0) {
                    failed = true;
                    return false;
                }
                if (less) return true;
                const int greater = PyObject_RichCompareBool(hi.key.get(), lo.key.get(), Py_LT);
                if (greater < 0) {
                    failed = true;
                    return false;
                }
                if (greater) return false;
            }
            return a.id < b.id;
        });
        return !failed;
    }

private:
    bool descending_;
};

// The attribute names of a dotted path, as str objects.
bool path_names(PyObject* order_by, std::vector<OwnedRef>& out) {
    PyObject* dot = PyUnicode_FromString(".");
    if (!dot) return false;
    PyObject* parts = PyUnicode_Split(order_by, dot, -1);
    Py_DECREF(dot);
    if (!parts) return false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(parts); ++i) out.push_back(OwnedRef::steal(Py_NewRef(PyList_GET_ITEM(parts, i))));
    Py_DECREF(parts);
    return true;
}

// Keys for the objects of `ids`; false with the error set.
bool keyed_objects(const FilteredView& view, const Bitmap& ids, const std::vector<OwnedRef>& path, std::vector<Keyed>& out) {
    std::vector<std::pair<uint32_t, OwnedRef>> objects = objects_of(
        view, ids.cardinality(), [&](auto&& take) { ids.for_each([&](uint32_t id) { take(id); }); });
    out.reserve(out.size() + objects.size());
    for (auto& [id, object] : objects) {
        Keyed entry{id, std::move(object), Group::Other, OwnedRef(), TemporalValue{}};
        if (!key_of(entry.object.get(), path, entry)) return false;
        out.push_back(std::move(entry));
    }
    return true;
}

// Appends the entries of ranks [skip, skip + take) of a sorted run.
void page_into(std::vector<Keyed>& run, uint64_t skip, uint64_t take, std::vector<OwnedRef>& out) {
    for (uint64_t i = skip; i < run.size() && take > 0; ++i, --take) out.push_back(std::move(run[i].object));
}

// A window (offset, limit) over consecutive runs of known length: each run
// is asked only for the part of the window that falls into it.
class Window {
public:
    Window(uint64_t offset, uint64_t limit) : skip_(offset), take_(limit) {}

    void run(uint64_t length, const std::function<void(uint64_t skip, uint64_t take)>& fetch) {
        if (take_ == 0) return;
        if (skip_ >= length) {
            skip_ -= length;
            return;
        }
        const uint64_t here = std::min(take_, length - skip_);
        fetch(skip_, here);
        skip_ = 0;
        take_ -= here;
    }

private:
    uint64_t skip_;
    uint64_t take_;
};

PyObject* list_of_refs(std::vector<OwnedRef>& objects) {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(objects.size()));
    if (!list) return nullptr;
    for (size_t i = 0; i < objects.size(); ++i) PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), objects[i].release());
    return list;
}

PyObject* ordered_collect(const FilteredView& view, const CollectArgs& args, const Bitmap& present) {
    std::vector<OwnedRef> path;
    if (!path_names(args.order_by, path)) return nullptr;
    Py_ssize_t length = 0;
    const char* text = PyUnicode_AsUTF8AndSize(args.order_by, &length);
    if (!text) return nullptr;
    const std::string_view name(text, static_cast<size_t>(length));
    const Ordering ordering(args.descending);
    std::vector<OwnedRef> out;

    // The numbers of a plain attribute come in order from its numeric index;
    // only the other objects are read and sorted here.
    std::optional<NumericSplit> split;
    if (path.size() == 1) {
        if (!run_without_gil([&] { split = split_by_number(view, name, present); })) return nullptr;
    }
    std::vector<Keyed> rest;
    if (split && !keyed_objects(view, split->rest, path, rest)) return nullptr;
    const bool index_order = split && std::none_of(rest.begin(), rest.end(), [](const Keyed& k) {
                                          return k.group == Group::Number;
                                      });
    if (!index_order) {
        // A number the index does not hold (a class attribute, an int beyond
        // 64 bits, a dotted path): every key is read and sorted.
        std::vector<Keyed> all;
        if (!keyed_objects(view, present, path, all) || !ordering.sort(all)) return nullptr;
        Window window(args.offset, args.limit);
        window.run(all.size(), [&](uint64_t skip, uint64_t take) { page_into(all, skip, take, out); });
        return list_of_refs(out);
    }
    if (!ordering.sort(rest)) return nullptr;
    // Runs in order: the numbers are the first group, so with descending
    // the rest's ordered groups come before them; the other values always
    // come last.
    const auto others = std::find_if(rest.begin(), rest.end(), [](const Keyed& k) { return k.group == Group::Other; });
    std::vector<Keyed> tail(std::make_move_iterator(others), std::make_move_iterator(rest.end()));
    rest.erase(others, rest.end());
    const uint64_t numbers = split->numbers.cardinality();
    Window window(args.offset, args.limit);
    bool failed = false;
    auto number_run = [&](uint64_t skip, uint64_t take) {
        std::vector<uint32_t> ids;
        if (!run_without_gil([&] { ids = ordered_by_number(view, name, split->numbers, args.descending, skip, take); })) {
            failed = true;
            return;
        }
        std::vector<std::pair<uint32_t, OwnedRef>> objects =
            objects_of(view, ids.size(), [&](auto&& take_id) {
                for (uint32_t id : ids) take_id(id);
            });
        for (auto& entry : objects) out.push_back(std::move(entry.second));
    };
    auto rest_run = [&](uint64_t skip, uint64_t take) { page_into(rest, skip, take, out); };
    if (args.descending) {
        window.run(rest.size(), rest_run);
        window.run(numbers, number_run);
    } else {
        window.run(numbers, number_run);
        window.run(rest.size(), rest_run);
    }
    if (failed) return nullptr;
    window.run(tail.size(), [&](uint64_t skip, uint64_t take) { page_into(tail, skip, take, out); });
    return list_of_refs(out);
}

// ---- value counts -------------------------------------------------------------------

struct Counted {
    OwnedRef key;
    Bitmap holders;
};

}  // namespace

Py_ssize_t view_length(const FilteredView& view) {
    Py_ssize_t count = -1;
    const int status = guarded([&] {
        count = static_cast<Py_ssize_t>(view.present_count());
        return 0;
    });
    return status < 0 ? -1 : count;
}

int view_contains(const FilteredView& view, PyObject* obj) {
    if (!is_indexable(obj)) return 0;
    const RecordPtr& record = indexable_record(obj);
    if (!record) return 0;
    return guarded([&] { return view.holds(record->id, obj) ? 1 : 0; });
}

PyObject* view_iter(const FilteredView& view) {
    OwnedRef snapshot =
        OwnedRef::steal(guarded([&] { return present_objects_list(view.items, view.still_members(), view.epoch); }));
    if (!snapshot) return nullptr;
    return PyObject_GetIter(snapshot.get());
}

PyObject* view_collect(const FilteredView& view, PyObject* args, PyObject* kwargs) {
    std::optional<CollectArgs> parsed = collect_args(args, kwargs);
    if (!parsed) return nullptr;
    return guarded([&]() -> PyObject* {
        const bool whole = !parsed->order_by && parsed->offset == 0 && parsed->limit == no_limit;
        std::optional<Bitmap> present;
        // Collecting checks each slot against the view's epoch anyway; only
        // ordering and paging need the exact set first.
        if (!run_without_gil([&] { present = whole ? view.still_members() : view.present(); })) return nullptr;
        if (parsed->order_by) return ordered_collect(view, *parsed, *present);
        if (whole) return present_objects_list(view.items, *present, view.epoch);
        return present_objects_list(view.items, present->page(parsed->offset, parsed->limit), view.epoch);
    });
}

PyObject* view_value_counts(const FilteredView& view, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"attr", nullptr};
    PyObject* attr = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:value_counts", const_cast<char**>(keywords), &attr)) {
        return nullptr;
    }
    if (!PyUnicode_Check(attr)) {
        PyErr_Format(PyExc_TypeError, "value_counts() argument 'attr' must be str, not %.200s", Py_TYPE(attr)->tp_name);
        return nullptr;
    }
    Py_ssize_t length = 0;
    const char* text = PyUnicode_AsUTF8AndSize(attr, &length);
    if (!text) return nullptr;
    return guarded([&]() -> PyObject* {
        std::vector<ValueHolders> found;
        if (!run_without_gil([&] {
                found = value_holders(view, std::string_view(text, static_cast<size_t>(length)), view.present());
            })) {
            return nullptr;
        }
        // Values that Python takes for one key (True and 1, a big int and
        // the equal float) pool their holders: each object counts once.
        std::vector<Counted> counted;
        OwnedRef position = OwnedRef::steal(PyDict_New());
        if (!position) return nullptr;
        for (ValueHolders& entry : found) {
            OwnedRef key = OwnedRef::steal(entry.value.to_python());
            if (!key) return nullptr;
            PyObject* at = PyDict_GetItemWithError(position.get(), key.get());
            if (at) {
                counted[PyLong_AsSize_t(at)].holders |= entry.holders;
                continue;
            }
            if (PyErr_Occurred()) return nullptr;
            OwnedRef index = OwnedRef::steal(PyLong_FromSize_t(counted.size()));
            if (!index || PyDict_SetItem(position.get(), key.get(), index.get()) < 0) return nullptr;
            counted.push_back(Counted{std::move(key), std::move(entry.holders)});
        }
        // Most held first; ties by the first object holding the value.
        std::vector<std::pair<uint64_t, uint32_t>> order_keys;
        std::vector<size_t> order(counted.size());
        for (size_t i = 0; i < counted.size(); ++i) {
            order[i] = i;
            order_keys.emplace_back(counted[i].holders.cardinality(), counted[i].holders.minimum());
        }
        std::sort(order.begin(), order.end(), [&](size_t a, size_t b) {
            if (order_keys[a].first != order_keys[b].first) return order_keys[a].first > order_keys[b].first;
            return order_keys[a].second < order_keys[b].second;
        });
        OwnedRef result = OwnedRef::steal(PyDict_New());
        if (!result) return nullptr;
        for (size_t i : order) {
            OwnedRef count = OwnedRef::steal(PyLong_FromUnsignedLongLong(order_keys[i].first));
            if (!count || PyDict_SetItem(result.get(), counted[i].key.get(), count.get()) < 0) return nullptr;
        }
        return result.release();
    });
}

PyObject* view_repr(const char* class_name, Py_ssize_t length) {
    if (length < 0) return nullptr;
    return PyUnicode_FromFormat("<Tarnwick.%s with %zd objects>", class_name, length);
}

}  // namespace tarnwick

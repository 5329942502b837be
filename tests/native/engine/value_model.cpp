#include "value_model.hpp"

#include <gtest/gtest.h>

#include <algorithm>

#include "index/core/structures/id_alloc.hpp"

namespace tarnwick::testing {

const std::vector<PyValue>& probe_table() {
    static const std::vector<PyValue> table = {
        int_value(0),   int_value(1),    int_value(2),      int_value(-3),   int_value(1LL << 40),
        float_value(0.5), float_value(-1.25), float_value(1e9 + 0.5),
        str_value(""),  str_value("a"),  str_value("ab"),   str_value("abc"), str_value("b"),
        bool_value(true), bool_value(false),
        // A date and a duration with the same key, in the indexes of their kinds.
        temporal_value(TemporalKind::Date, 0), temporal_value(TemporalKind::Date, 1),
        temporal_value(TemporalKind::TimeDelta, 0),
    };
    return table;
}

PyValue ModelValue::value() const { return scalar ? probe_table()[*scalar] : native_list_value(); }

ContainerItems ModelValue::container_items(bool nested_marker) const {
    ContainerItems out;
    if (nested_marker) out.emplace_back(std::nullopt);
    for (size_t e : items) out.emplace_back(probe_table()[e]);
    return out;
}

namespace {

PyObject* python_scalar(const PyValue& v) {
    const CastValue& p = v.primitive;
    switch (p.kind()) {
        case ValueKind::Int: return PyLong_FromLongLong(p.as_int());
        case ValueKind::Float: return PyFloat_FromDouble(p.as_float());
        case ValueKind::Str: return PyUnicode_FromStringAndSize(p.as_str().view().data(), p.as_str().size());
        case ValueKind::Bool: return PyBool_FromLong(p.as_bool());
        case ValueKind::Temporal: {
            const TemporalValue& t = p.as_temporal();
            PyObject* module = PyImport_ImportModule("datetime");
            if (!module) return nullptr;
            PyObject* out = t.kind == TemporalKind::Date
                                ? PyObject_CallMethod(module, "date", "iii", 1970, 1, 1 + int(t.days))
                                : PyObject_CallMethod(module, "timedelta", "L", static_cast<long long>(t.days));
            Py_DECREF(module);
            return out;
        }
        default: return nullptr;
    }
}

}  // namespace

PyValue ModelValue::python_value() const {
    if (scalar) return value();
    GilAcquire gil;
    PyObject* list = PyList_New(0);
    PyObject* target = list;
    for (size_t i = 0; i < items.size(); ++i) {
        if (i + 1 == items.size() && items.size() > 1) {
            PyObject* inner = PyList_New(0);
            PyList_Append(list, inner);
            Py_DECREF(inner);
            target = inner;
        }
        PyObject* item = python_scalar(probe_table()[items[i]]);
        PyList_Append(target, item);
        Py_DECREF(item);
    }
    PyValue out = PyValue::from_py(list);
    Py_DECREF(list);
    return out;
}

bool ModelValue::holds(size_t entry) const {
    return scalar ? *scalar == entry : std::find(items.begin(), items.end(), entry) != items.end();
}

ModelValue scheduled_value(uint32_t object, uint32_t step) {
    const uint32_t h = object * 2654435761u + step * 40503u;
    const size_t n = probe_table().size();
    if (h % 4 == 0) {
        std::vector<size_t> entries;
        for (uint32_t k = 0; k < (h >> 4) % 4; ++k) entries.push_back((h >> (8 + 3 * k)) % n);
        return ModelValue::of_items(std::move(entries));
    }
    return ModelValue::of_scalar((h >> 3) % n);
}

Bitmap MapModel::expected(size_t entry) const {
    Bitmap out;
    for (const auto& [id, v] : values_)
        if (v.holds(entry)) out.add(id);
    return out;
}

size_t MapModel::item_count() const {
    size_t n = 0;
    for (const auto& [id, v] : values_) n += v.items.size();
    return n;
}

void insert_model_value(QueryMap& map, const ModelValue& v, uint32_t id) {
    map.insert_value(v.value(), v.container_items(id % 3 == 0), id);
}

void remove_model_value(QueryMap& map, const ModelValue& v, uint32_t id) { map.remove_id(v.value(), id); }

void expect_map_matches(const QueryMap& map, const MapModel& model) {
    for (size_t e = 0; e < probe_table().size(); ++e) {
        Bitmap got = match(map, probe_table()[e]);
        Bitmap want = model.expected(e);
        EXPECT_TRUE(got == want) << "probe " << probe_table()[e].debug() << ": got " << got.cardinality()
                                 << " ids, want " << want.cardinality();
    }
}

void expect_free_ids_distinct(const Bitmap& live_objects) {
    const std::vector<uint32_t> ids = free_ids();
    Bitmap seen;
    size_t repeated = 0, live = 0;
    for (uint32_t id : ids) {
        if (seen.contains(id)) ++repeated;
        if (live_objects.contains(id)) ++live;
        seen.add(id);
    }
    EXPECT_EQ(repeated, 0u) << "an id was freed twice";
    EXPECT_EQ(live, 0u) << "a live object's id is waiting for reuse";
}

}  // namespace tarnwick::testing

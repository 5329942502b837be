#include "index/interfaces/index_debug.hpp"

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "index/core/index.hpp"
#include "index/core/index_inspection.hpp"
#include "index/indexable_record.hpp"
#include "index/interfaces/boundary.hpp"
#include "index/interfaces/index.hpp"
#include "index/interfaces/indexable.hpp"
#include "index/value.hpp"

namespace tarnwick {
namespace {

std::optional<AttributePath> split_path(PyObject* path) {
    Py_ssize_t n = 0;
    const char* text = PyUnicode_Check(path) ? PyUnicode_AsUTF8AndSize(path, &n) : nullptr;
    if (!text) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "path must be a str");
        return std::nullopt;
    }
    AttributePath parts;
    std::string_view rest(text, static_cast<size_t>(n));
    for (;;) {
        size_t dot = rest.find('.');
        parts.emplace_back(rest.substr(0, dot));
        if (dot == std::string_view::npos) break;
        rest.remove_prefix(dot + 1);
    }
    return parts;
}

PyObject* id_list(const Bitmap& ids) {
    OwnedRef list = OwnedRef::steal(PyList_New(0));
    if (!list) return nullptr;
    for (uint32_t id : ids.to_vector()) {
        OwnedRef n = OwnedRef::steal(PyLong_FromUnsignedLong(id));
        if (!n || PyList_Append(list.get(), n.get()) < 0) return nullptr;
    }
    return list.release();
}

// The ids `read` finds in the engine of `self` along `path`, as a list.
template <class Read>
PyObject* ids_along(PyObject* self, PyObject* path, Read&& read) {
    std::optional<AttributePath> names = split_path(path);
    if (!names) return nullptr;
    std::shared_ptr<IndexAPI> engine = index_engine(self);
    if (!engine) return nullptr;
    return guarded([&]() -> PyObject* {
        Bitmap ids;
        if (!run_without_gil([&] { ids = read(engine, *names); })) return nullptr;
        return id_list(ids);
    });
}

}  // namespace

PyObject* index_debug_eq(PyObject* self, PyObject* args) {
    PyObject *path = nullptr, *value = nullptr;
    if (!PyArg_ParseTuple(args, "OO:_debug_eq", &path, &value)) return nullptr;
    std::optional<PyValue> converted;
    if (guarded([&] {
            converted = PyValue::from_py(value);
            return 0;
        }) < 0) {
        return nullptr;
    }
    return ids_along(self, path, [&](const std::shared_ptr<IndexAPI>& engine, const AttributePath& names) {
        return inspect_equal(engine, names, *converted);
    });
}

PyObject* index_debug_members(PyObject* self, PyObject*) {
    std::shared_ptr<IndexAPI> engine = index_engine(self);
    if (!engine) return nullptr;
    return guarded([&] { return id_list(engine->members()); });
}

PyObject* index_debug_nested_members(PyObject* self, PyObject* path) {
    return ids_along(self, path, inspect_nested_members);
}

PyObject* index_debug_holders(PyObject* self, PyObject* args) {
    PyObject *path = nullptr, *child = nullptr;
    if (!PyArg_ParseTuple(args, "OO:_debug_holders", &path, &child)) return nullptr;
    if (!is_indexable(child)) {
        PyErr_SetString(PyExc_TypeError, "child must be an Indexable");
        return nullptr;
    }
    const uint32_t child_id = indexable_record(child)->id;
    return ids_along(self, path, [child_id](const std::shared_ptr<IndexAPI>& engine, const AttributePath& names) {
        return inspect_holders(engine, names, child_id);
    });
}

PyObject* index_debug_map_stats(PyObject* self, PyObject* path) {
    std::optional<AttributePath> names = split_path(path);
    if (!names) return nullptr;
    std::shared_ptr<IndexAPI> engine = index_engine(self);
    if (!engine) return nullptr;
    std::optional<MapStats> stats;
    if (!run_without_gil([&] { stats = inspect_map_stats(engine, *names); })) return nullptr;
    if (!stats) Py_RETURN_NONE;
    return Py_BuildValue("{s:K,s:K,s:K,s:K,s:K,s:K}", "elements", (unsigned long long)stats->elements,
                         "element_owners", (unsigned long long)stats->element_owners, "owners",
                         (unsigned long long)stats->owners, "exact_values", (unsigned long long)stats->exact_values,
                         "nested_members", (unsigned long long)stats->nested_members, "links",
                         (unsigned long long)stats->links);
}

}  // namespace tarnwick

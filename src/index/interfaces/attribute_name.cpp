#include "index/interfaces/attribute_name.hpp"

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "index/core/structures/string_interner.hpp"

namespace tarnwick {

RecentName recent_names[RECENT_NAMES];

namespace {

void remember_recent(PyObject* name, uint32_t id) {
    RecentName& entry = recent_names[recent_slot(name)];
    PyObject* previous = entry.name;
    entry.name = Py_NewRef(name);
    entry.id = id;
    Py_XDECREF(previous);  // a str: its release runs no Python code
}

// str -> int, for names equal to a known one but not the same object;
// guarded by the GIL. Bounded so that programs that use
// endlessly many distinct names do not keep every name object alive.
PyObject* name_ids = nullptr;
constexpr Py_ssize_t NAME_IDS_LIMIT = 1 << 16;

void remember(PyObject* name, uint32_t id) {
    if (!name_ids) {
        name_ids = PyDict_New();
        if (!name_ids) {
            PyErr_Clear();
            return;
        }
    }
    if (PyDict_GET_SIZE(name_ids) >= NAME_IDS_LIMIT) return;
    PyObject* value = PyLong_FromUnsignedLong(id);
    if (!value || PyDict_SetItem(name_ids, name, value) < 0) PyErr_Clear();
    Py_XDECREF(value);
}

}  // namespace

bool attribute_name_id_into(PyObject* name, uint32_t& id) {
    bool exact = PyUnicode_CheckExact(name);
    if (exact) {
        if (recent_name_id(name, id)) return true;
        // Exact str keys hash and compare without running Python code.
        if (PyObject* hit = name_ids ? PyDict_GetItemWithError(name_ids, name) : nullptr) {
            id = static_cast<uint32_t>(PyLong_AsUnsignedLong(hit));
            remember_recent(name, id);
            return true;
        }
        if (PyErr_Occurred()) PyErr_Clear();
    }
    Py_ssize_t n = 0;
    const char* text = PyUnicode_AsUTF8AndSize(name, &n);
    if (!text) return false;
    id = INTERNER().intern(std::string_view(text, static_cast<size_t>(n)));
    if (exact) {
        remember(name, id);
        remember_recent(name, id);
    }
    return true;
}

std::optional<uint32_t> attribute_name_id(PyObject* name) {
    uint32_t id = 0;
    if (!attribute_name_id_into(name, id)) return std::nullopt;
    return id;
}

}  // namespace tarnwick

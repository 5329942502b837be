#include "index/interfaces/pickling.hpp"

#include <string_view>
#include <vector>

#include "index/core/structures/string_interner.hpp"
#include "index/indexable_record.hpp"
#include "index/interfaces/boundary.hpp"

namespace tarnwick {
namespace {

// copyreg.__newobj__, which pickle turns into its NEWOBJ instruction: the
// class's __new__ without arguments, so no __init__ runs. Borrowed, kept for
// the life of the process.
PyObject* new_object_function() {
    static PyObject* fn = nullptr;
    if (fn) return fn;
    PyObject* copyreg = PyImport_ImportModule("copyreg");
    if (!copyreg) return nullptr;
    fn = PyObject_GetAttrString(copyreg, "__newobj__");
    Py_DECREF(copyreg);
    return fn;
}

// {name: value} of every stored attribute, names starting with "_" too.
PyObject* attribute_dict(PyObject* self) {
    PyObject* state = PyDict_New();
    if (!state) return nullptr;
    const RecordPtr& record = indexable_record(self);
    if (!record) return state;
    // Copied out first: converting values back and filling the dict runs
    // Python code, which may assign attributes of this very object. The map
    // is written only with the GIL held, which this thread holds. Each copy
    // keeps its object (a plain copy of a number or text would not), so that
    // the state holds the very objects the attributes do.
    std::vector<std::pair<uint32_t, PyValue>> attributes;
    record->attribute_map().get().for_each(
        [&](const uint32_t& id, const PyValue& value) { attributes.emplace_back(id, value.with_own_reference()); });
    InternerSnapshot names = INTERNER().snapshot();
    for (const auto& [id, value] : attributes) {
        const std::string_view text = names->text(id);
        PyObject* name = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogatepass");
        PyObject* v = name ? value.to_python() : nullptr;
        const int failed = v ? PyDict_SetItem(state, name, v) : -1;
        Py_XDECREF(name);
        Py_XDECREF(v);
        if (failed < 0) {
            Py_DECREF(state);
            return nullptr;
        }
    }
    return state;
}

}  // namespace

PyObject* indexable_reduce(PyObject* self, PyObject*) {
    PyObject* fn = new_object_function();
    if (!fn) return nullptr;
    PyObject* state = guarded([self] { return attribute_dict(self); });
    if (!state) return nullptr;
    return Py_BuildValue("(O(O)N)", fn, reinterpret_cast<PyObject*>(Py_TYPE(self)), state);
}

PyObject* indexable_setstate(PyObject* self, PyObject* state) {
    if (!PyDict_Check(state)) {
        PyErr_Format(PyExc_TypeError, "__setstate__() argument must be dict, not %.200s", Py_TYPE(state)->tp_name);
        return nullptr;
    }
    // A copy: assignments may run Python code that changes the dict.
    PyObject* items = PyDict_Items(state);
    if (!items) return nullptr;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items); ++i) {
        PyObject* pair = PyList_GET_ITEM(items, i);
        if (PyObject_SetAttr(self, PyTuple_GET_ITEM(pair, 0), PyTuple_GET_ITEM(pair, 1)) < 0) {
            Py_DECREF(items);
            return nullptr;
        }
    }
    Py_DECREF(items);
    Py_RETURN_NONE;
}

}  // namespace tarnwick

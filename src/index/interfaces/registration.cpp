#include "index/interfaces/registration.hpp"

#include <cstring>

#include "index/interfaces/docs.hpp"

namespace tarnwick {

int add_to_module(PyObject* module, const char* name, PyObject* obj) {
    OwnedRef all = OwnedRef::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        all = OwnedRef::steal(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return -1;
    }
    OwnedRef text = OwnedRef::steal(PyUnicode_FromString(name));
    if (!text) return -1;
    if (!PyList_Check(all.get())) {
        PyErr_SetString(PyExc_TypeError, "__all__ must be a list");
        return -1;
    }
    if (PyObject_SetAttr(module, text.get(), obj) < 0) return -1;
    return PyList_Append(all.get(), text.get());
}

PyObject* no_constructor_new(PyTypeObject* cls, PyObject*, PyObject*) {
    const char* name = cls->tp_name;
    if (const char* dot = std::strrchr(name, '.')) name = dot + 1;
    PyErr_Format(PyExc_TypeError, "No constructor defined for %s", name);
    return nullptr;
}

PyObject* make_class(PyType_Spec* type_spec) {
    document_class(*type_spec);
    PyObject* type = PyType_FromSpec(type_spec);
    if (!type) return nullptr;
    if (const char* dot = std::strrchr(type_spec->name, '.')) {
        reinterpret_cast<PyTypeObject*>(type)->tp_name = dot + 1;
    }
    return type;
}

}  // namespace tarnwick

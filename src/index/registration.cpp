#include "index/registration.hpp"

#include <cstring>

#include "index/docs.hpp"

namespace tarnwick {

int add_to_module(PyObject* module, const char* name, PyObject* obj) {
    PyObject* all = PyObject_GetAttrString(module, "__all__");
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        all = PyList_New(0);
        if (!all || PyObject_SetAttrString(module, "__all__", all) < 0) {
            Py_XDECREF(all);
            return -1;
        }
    }
    PyObject* text = PyUnicode_FromString(name);
    int rc = -1;
    if (text && PyList_Check(all) && PyObject_SetAttr(module, text, obj) == 0) rc = PyList_Append(all, text);
    else if (text && !PyList_Check(all)) PyErr_SetString(PyExc_TypeError, "__all__ must be a list");
    Py_XDECREF(text);
    Py_DECREF(all);
    return rc;
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

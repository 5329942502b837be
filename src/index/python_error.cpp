#include "index/python_error.hpp"

namespace tarnwick {

PythonError PythonError::fetch() {
    PythonError e;
#if PY_VERSION_HEX >= 0x030C0000
    e.value_ = PyHandle::steal(PyErr_GetRaisedException());
#else
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value && traceback) PyException_SetTraceback(value, traceback);
    e.type_ = PyHandle::steal(type);
    e.value_ = PyHandle::steal(value);
    e.traceback_ = PyHandle::steal(traceback);
#endif
    return e;
}

void PythonError::restore() const {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(value_.new_ref());
#else
    PyErr_Restore(type_.new_ref(), value_.new_ref(), traceback_.new_ref());
#endif
}

bool pending_error_is_ordinary() noexcept {
    return PyErr_ExceptionMatches(PyExc_Exception) && !PyErr_ExceptionMatches(PyExc_MemoryError);
}

}  // namespace tarnwick

#include "index/interfaces/boundary.hpp"

#include <new>
#include <stdexcept>

#include "index/core/nested_tasks.hpp"
#include "index/core/object_lock.hpp"
#include "index/core/query/query_eval.hpp"
#include "index/python_error.hpp"

namespace tarnwick {

void set_python_error(const std::exception_ptr& failure) noexcept {
    try {
        std::rethrow_exception(failure);
    } catch (const QueryNotImplemented& e) {
        PyErr_SetString(PyExc_NotImplementedError, e.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const ObjectLockedError& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (const PythonError& e) {
        e.restore();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown native failure");
    }
}

bool run_without_gil(const std::function<void()>& work) {
    std::exception_ptr failure;
    {
        GilRelease released;
        GateHold inside_gate;
        try {
            work();
        } catch (...) {
            failure = std::current_exception();
        }
        // Work queued on nested engines (an in-place reduction unlinks
        // nested objects) runs now that no lock is held.
        try {
            run_nested_tasks();
        } catch (...) {
            if (!failure) failure = std::current_exception();
        }
    }
    if (!failure) return true;
    set_python_error(failure);
    return false;
}

}  // namespace tarnwick

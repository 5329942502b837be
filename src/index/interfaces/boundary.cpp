#include "index/interfaces/boundary.hpp"

#include <new>
#include <stdexcept>

#include "index/core/nested_tasks.hpp"
#include "index/core/object_lock.hpp"
#include "index/core/query/query_eval.hpp"
#include "index/core/stack_room.hpp"
#include "index/python_error.hpp"

namespace tarnwick {

void set_python_error(const std::exception_ptr& failure) noexcept {
    try {
        std::rethrow_exception(failure);
    } catch (const QueryNotImplemented& e) {
        PyErr_SetString(PyExc_NotImplementedError, e.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const StackExhausted& e) {
        PyErr_SetString(PyExc_RecursionError, e.what());
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
    without_gil([&] {
        GateHold inside_gate;
        failure = failure_of(work);
        // Work queued on nested engines (an in-place reduction unlinks
        // nested objects) runs now that no lock is held.
        const std::exception_ptr nested = failure_of(run_nested_tasks);
        if (!failure) failure = nested;
    });
    if (!failure) return true;
    set_python_error(failure);
    return false;
}

}  // namespace tarnwick

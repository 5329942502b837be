// The one boundary between Python and the engine.
//
// Every Python method that reaches the engine converts its arguments while it
// holds the GIL (taking every Python reference it will need), runs the engine
// part through run_without_gil, and builds its result once the GIL is back. A
// C++ exception never reaches the interpreter: set_python_error is the single
// place that says which Python error each native failure becomes.
#pragma once

#include "index/pyref.hpp"

#include <exception>
#include <functional>
#include <type_traits>

namespace tarnwick {

// Sets the Python error that stands for `failure`: a between test with a bound
// that is not a number becomes NotImplementedError, exhausted memory
// MemoryError, a query tree too deep for the thread's stack RecursionError,
// an object this thread is already indexing RuntimeError, a Python exception
// raised by code the engine called (PythonError) itself, anything else
// SystemError. GIL held.
void set_python_error(const std::exception_ptr& failure) noexcept;

// Runs the engine part of a method with the GIL released (called with it
// held), then the work it queued on nested engines. False with the Python
// error set if either failed.
bool run_without_gil(const std::function<void()>& work);

// Runs `body` (GIL held) and turns a native failure into the Python error and
// the failure value of the C API: null for an object, -1 for a status. A
// thread being ended at interpreter exit (thread_exiting) goes on ending.
template <class Body>
auto guarded(Body&& body) -> decltype(body()) {
    using Result = decltype(body());
    static_assert(std::is_pointer_v<Result> || std::is_same_v<Result, int>);
    try {
        Result result = body();
        // References the body dropped that would free their objects were
        // parked (pyref.hpp); their finalizers run here, outside any
        // destructor.
        drain_pending_decrefs();
        return result;
    } catch (...) {
        if (thread_exiting()) throw;
        set_python_error(std::current_exception());
        if constexpr (std::is_pointer_v<Result>) {
            return nullptr;
        } else {
            return -1;
        }
    }
}

}  // namespace tarnwick

// Python references that may travel through GIL-free engine code.
//
// Copies of a PyHandle share one strong reference through an atomic count, so
// copying and dropping never touch the interpreter's reference count. When the
// last copy goes, the reference is released at once only if this thread holds
// the GIL and no native lock; otherwise it is parked and released the next time
// an entry point holds the GIL with no native lock (drain_pending_decrefs).
// Parking links the handle's own shared box into a list, so it allocates
// nothing: it happens in destructors, often while an allocation failure is
// already unwinding, where a failing push would end the process.
//
// Thread exit. At interpreter exit CPython 3.11 to 3.13 end a daemon thread
// that tries to take the GIL back with a forced unwind (pthread_exit). That
// unwind must find no noexcept frame and no destructor that takes the GIL
// during another unwind, or the process aborts: the GIL is only ever taken
// back in ordinary control flow (without_gil), and handlers that swallow
// failures let ThreadExit through.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <exception>
#include <utility>

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

#include "index/core/sync.hpp"

namespace tarnwick {

#if defined(__GLIBCXX__)
using ThreadExit = abi::__forced_unwind;
#else
struct ThreadExit {};  // no forced unwind to let through
#endif

// Releases every parked reference. Needs the GIL; does nothing while this
// thread holds a native lock. Releasing runs finalizers (Python code), so it
// may end the thread with a ThreadExit unwind at interpreter exit.
void drain_pending_decrefs();

// Number of parked references (for tests).
size_t pending_decref_count() noexcept;

class PyHandle {
public:
    PyHandle() noexcept = default;

    // Takes over a strong reference the caller owns (any thread).
    static PyHandle steal(PyObject* obj) {
        PyHandle h;
        if (obj) {
            h.box_ = new Box{{1}, obj, nullptr};
            h.obj_ = obj;
        }
        return h;
    }
    // Takes a new strong reference. Needs the GIL.
    static PyHandle borrow(PyObject* obj) {
        Py_XINCREF(obj);
        return steal(obj);
    }

    PyHandle(const PyHandle& o) noexcept : box_(o.box_), obj_(o.obj_) {
        if (box_) box_->count.fetch_add(1, std::memory_order_relaxed);
    }
    PyHandle(PyHandle&& o) noexcept : box_(std::exchange(o.box_, nullptr)), obj_(std::exchange(o.obj_, nullptr)) {}
    PyHandle& operator=(PyHandle o) noexcept {
        std::swap(box_, o.box_);
        std::swap(obj_, o.obj_);
        return *this;
    }
    ~PyHandle() { reset(); }

    void reset() noexcept {
        Box* b = std::exchange(box_, nullptr);
        obj_ = nullptr;
        if (b && b->count.fetch_sub(1, std::memory_order_acq_rel) == 1) release_box(b);
    }

    PyObject* get() const noexcept { return obj_; }
    // A new strong reference to the object. Needs the GIL.
    PyObject* new_ref() const noexcept {
        PyObject* o = get();
        Py_XINCREF(o);
        return o;
    }
    explicit operator bool() const noexcept { return box_ != nullptr; }
    bool same_object(const PyHandle& o) const noexcept { return get() == o.get(); }
    // The shared reference itself: equal for copies of one handle only.
    const void* shared_id() const noexcept { return box_; }
    // Whether no other copy of this handle is left anywhere.
    bool sole_copy() const noexcept { return box_ && box_->count.load(std::memory_order_acquire) == 1; }

private:
    friend void drain_pending_decrefs();

    struct Box {
        std::atomic<uint32_t> count;
        PyObject* obj;
        Box* next_parked;  // the parked list's link once count is zero
    };
    // Releases the box's reference and frees it, or parks it (any thread).
    static void release_box(Box* box) noexcept;

    Box* box_ = nullptr;
    // The box's object, kept here too so that reading it (collecting results
    // of many objects) does not touch the box.
    PyObject* obj_ = nullptr;
};

// Runs work with the GIL released; called with it held and no Python error
// pending that the work could clobber. What the work throws waits until the
// GIL is back and is then rethrown: taking the GIL back while an exception
// unwinds could start a ThreadExit unwind inside that one. A ThreadExit from
// the work (it took the GIL inside) goes on at once: the thread never gets the
// GIL back.
template <class Work>
void without_gil(Work&& work) {
    PyThreadState* state = PyEval_SaveThread();
    std::exception_ptr failure;
    try {
        work();
    } catch (const ThreadExit&) {
        throw;
    } catch (...) {
        failure = std::current_exception();
    }
    PyEval_RestoreThread(state);
    drain_pending_decrefs();
    if (failure) std::rethrow_exception(failure);
}

// Takes the GIL (from any thread, GIL held or not) for the guard's lifetime.
// Taking it may end the thread with a ThreadExit unwind, so never construct
// one in a destructor or while an exception unwinds.
class GilAcquire {
public:
    GilAcquire() : state_(PyGILState_Ensure()) {}
    ~GilAcquire() { PyGILState_Release(state_); }
    GilAcquire(const GilAcquire&) = delete;
    GilAcquire& operator=(const GilAcquire&) = delete;

private:
    PyGILState_STATE state_;
};

// Lock acquisition for code that holds the GIL: a thread that blocks on a
// native lock while holding the GIL deadlocks against a thread that holds the
// lock and waits for the GIL, so wait with the GIL released.
// A thread ended while taking the GIL back leaves the lock free.
template <class Lockable>
void lock_releasing_gil(Lockable& l) {
    if (l.try_lock()) return;
    PyThreadState* st = PyEval_SaveThread();
    l.lock();
    try {
        PyEval_RestoreThread(st);
    } catch (...) {
        l.unlock();
        throw;
    }
}

template <class Lockable>
void lock_shared_releasing_gil(Lockable& l) {
    if (l.try_lock_shared()) return;
    PyThreadState* st = PyEval_SaveThread();
    l.lock_shared();
    try {
        PyEval_RestoreThread(st);
    } catch (...) {
        l.unlock_shared();
        throw;
    }
}

// RAII forms of the two functions above.
template <class Lockable>
class GilSafeWriteGuard {
public:
    explicit GilSafeWriteGuard(Lockable& l) : l_(&l) { lock_releasing_gil(l); }
    ~GilSafeWriteGuard() { l_->unlock(); }
    GilSafeWriteGuard(const GilSafeWriteGuard&) = delete;
    GilSafeWriteGuard& operator=(const GilSafeWriteGuard&) = delete;

private:
    Lockable* l_;
};

template <class Lockable>
class GilSafeReadGuard {
public:
    explicit GilSafeReadGuard(Lockable& l) : l_(&l) { lock_shared_releasing_gil(l); }
    ~GilSafeReadGuard() { l_->unlock_shared(); }
    GilSafeReadGuard(const GilSafeReadGuard&) = delete;
    GilSafeReadGuard& operator=(const GilSafeReadGuard&) = delete;

private:
    Lockable* l_;
};

}  // namespace tarnwick

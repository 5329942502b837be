// Python references that may travel through GIL-free engine code.
//
// Copies of a PyHandle share one strong reference through an atomic count, so
// copying and dropping never touch the interpreter's reference count. When the
// last copy goes, the reference is released at once only if this thread holds
// the GIL and no native lock; otherwise it is parked and released the next time
// an entry point holds the GIL with no native lock (drain_pending_decrefs).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <utility>

#include "index/core/structures/sync.hpp"

namespace tarnwick {

// Releases (or parks) one strong reference. Safe on any thread.
void release_pyobject(PyObject* obj) noexcept;

// Releases every parked reference. Needs the GIL; does nothing while this
// thread holds a native lock.
void drain_pending_decrefs() noexcept;

// Number of parked references (for tests).
size_t pending_decref_count() noexcept;

class PyHandle {
public:
    PyHandle() noexcept = default;

    // Takes over a strong reference the caller owns (any thread).
    static PyHandle steal(PyObject* obj) {
        PyHandle h;
        if (obj) {
            h.box_ = new Box{{1}, obj};
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
        if (b && b->count.fetch_sub(1, std::memory_order_acq_rel) == 1) {
            release_pyobject(b->obj);
            delete b;
        }
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
    struct Box {
        std::atomic<uint32_t> count;
        PyObject* obj;
    };
    Box* box_ = nullptr;
    // The box's object, kept here too so that reading it (collecting results
    // of many objects) does not touch the box.
    PyObject* obj_ = nullptr;
};

// Releases the GIL for the lifetime of the guard. Must be constructed with the
// GIL held and no Python error pending that the engine work could clobber.
class GilRelease {
public:
    GilRelease() noexcept : state_(PyEval_SaveThread()) {}
    ~GilRelease() {
        PyEval_RestoreThread(state_);
        drain_pending_decrefs();
    }
    GilRelease(const GilRelease&) = delete;
    GilRelease& operator=(const GilRelease&) = delete;

private:
    PyThreadState* state_;
};

// Takes the GIL (from any thread, GIL held or not) for the guard's lifetime.
class GilAcquire {
public:
    GilAcquire() noexcept : state_(PyGILState_Ensure()) {}
    ~GilAcquire() { PyGILState_Release(state_); }
    GilAcquire(const GilAcquire&) = delete;
    GilAcquire& operator=(const GilAcquire&) = delete;

private:
    PyGILState_STATE state_;
};

// Lock acquisition for code that holds the GIL: a thread that blocks on a
// native lock while holding the GIL deadlocks against a thread that holds the
// lock and waits for the GIL, so wait with the GIL released.
template <class Lockable>
void lock_releasing_gil(Lockable& l) {
    if (l.try_lock()) return;
    PyThreadState* st = PyEval_SaveThread();
    l.lock();
    PyEval_RestoreThread(st);
}

template <class Lockable>
void lock_shared_releasing_gil(Lockable& l) {
    if (l.try_lock_shared()) return;
    PyThreadState* st = PyEval_SaveThread();
    l.lock_shared();
    PyEval_RestoreThread(st);
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

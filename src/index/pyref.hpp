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

// Installs the function that every drain point runs first, before the parked
// references are released: the engines park references of their own
// (gc_mirror.hpp) and release them there. GIL held and no native lock held
// when it runs. One hook; installing it again replaces it.
void set_drain_hook(void (*hook)() noexcept) noexcept;

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

// Holds a native lock taken by a thread that may hold the GIL: if it does, the
// lock is tried first and waited for with the GIL released, as above; if not,
// it is taken plainly. Exclusive, or shared with Shared.
template <class Lockable, bool Shared = false>
class GilSafeGuard {
public:
    explicit GilSafeGuard(Lockable& l) : l_(&l) {
        const bool gil = PyGILState_Check();
        if constexpr (Shared) {
            if (gil) lock_shared_releasing_gil(l);
            else l.lock_shared();
        } else {
            if (gil) lock_releasing_gil(l);
            else l.lock();
        }
    }
    ~GilSafeGuard() { unlock(); }
    GilSafeGuard(const GilSafeGuard&) = delete;
    GilSafeGuard& operator=(const GilSafeGuard&) = delete;

    void unlock() noexcept {
        Lockable* l = std::exchange(l_, nullptr);
        if (!l) return;
        if constexpr (Shared) l->unlock_shared();
        else l->unlock();
    }

private:
    Lockable* l_;
};

template <class Lockable>
using GilSafeReadGuard = GilSafeGuard<Lockable, true>;

// One strong reference owned by local code that holds the GIL, released when
// the owner goes. Move-only. For references that stay on this thread under
// the GIL; PyHandle is for those that travel through engine code.
class OwnedRef {
public:
    OwnedRef() noexcept = default;
    // Takes over a new reference (or null, as C API calls return on failure).
    static OwnedRef steal(PyObject* obj) noexcept {
        OwnedRef r;
        r.obj_ = obj;
        return r;
    }
    OwnedRef(OwnedRef&& o) noexcept : obj_(std::exchange(o.obj_, nullptr)) {}
    OwnedRef& operator=(OwnedRef&& o) noexcept {
        // Released last: dropping a reference can run code that reads this.
        PyObject* old = std::exchange(obj_, std::exchange(o.obj_, nullptr));
        Py_XDECREF(old);
        return *this;
    }
    OwnedRef(const OwnedRef&) = delete;
    OwnedRef& operator=(const OwnedRef&) = delete;
    ~OwnedRef() { Py_XDECREF(obj_); }

    PyObject* get() const noexcept { return obj_; }
    // Hands the reference to the caller.
    PyObject* release() noexcept { return std::exchange(obj_, nullptr); }
    explicit operator bool() const noexcept { return obj_ != nullptr; }

private:
    PyObject* obj_ = nullptr;
};

}  // namespace tarnwick

// Python references that may travel through GIL-free engine code.
//
// Copies of a PyHandle share one strong reference through an atomic count, so
// copying and dropping never touch the interpreter's reference count. When the
// last copy goes, the reference is released at once only if this thread holds
// the GIL and no native lock and the release cannot free the object (another
// reference remains); otherwise it is parked and released the next time an
// entry point holds the GIL with no native lock (drain_pending_decrefs).
// Parking links the handle's own shared box into a list, so it allocates
// nothing: it happens in destructors, often while an allocation failure is
// already unwinding, where a failing push would end the process.
//
// A handle is one word: a shared box (count and object), or the object itself
// tagged in the word's low bits. The boxes, several per indexed object, made
// and dropped on any thread, come from a pool of 16-byte slots (SlotPool),
// half what the general allocator would take for each. The count and the
// parked link share the box's first word: a box is parked only once no copy
// is left to count.
//
// An object in the word is either one the interpreter never frees
// (everlasting: no reference held) or a direct reference: a strong reference
// that only this handle holds, for an attribute's number or text, which no
// copy needs (the engine works on the value's primitive, and a copy gives the
// object back from it). A copy of a direct handle is empty, so copying still
// never touches a count. Dropping one with the GIL and no native lock is a
// plain release where boxes would release at once, and also where it frees
// an exact builtin int, float or str, whose freeing runs no Python code.
// Otherwise it is parked in a box taken from the pool at that moment; should
// the pool have no memory left for one, the reference is kept for good (one
// object leaked) rather than released where that is unsafe or the process
// ended.
//
// A release that frees the object runs its finalizers (__del__, weakref
// callbacks, a generator's finally): Python code, which may give up the GIL
// and, at interpreter exit, end the thread with a forced unwind when it
// takes it back. A destructor is noexcept, so that unwind would end the
// process there. Such releases therefore never run inside a destructor: they
// are parked, and the drain points run them in ordinary control flow.
//
// Thread exit. At interpreter exit CPython 3.11 to 3.13 end a daemon thread
// that tries to take the GIL back with a forced unwind (pthread_exit). That
// unwind must find no noexcept frame and no destructor that takes the GIL
// during another unwind, or the process aborts: the GIL is only ever taken
// back in ordinary control flow (without_gil), and handlers that swallow
// failures let that unwind through (thread_exiting).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <exception>
#include <new>
#include <type_traits>
#include <utility>

#include "index/core/structures/slot_pool.hpp"
#include "index/core/structures/sync.hpp"

namespace tarnwick {

// Whether the exception being handled is the forced unwind that ends this
// thread; asked first by every catch (...) handler, which then rethrows it.
// That unwind is no C++ exception and has no object, so the current exception
// is empty. A typed handler for it (abi::__forced_unwind) cannot be used: it
// binds its reference to that missing object, a null reference, on which the
// undefined-behaviour checker stops the process as the thread ends.
inline bool thread_exiting() noexcept { return !std::current_exception(); }

// The thread state this thread gave up to run work without the GIL
// (without_gil), for as long as it does; null otherwise. Taking the GIL back
// inside that work goes through it: PyGILState_Ensure would make a new thread
// state, which a daemon thread cannot do once the interpreter has finalized.
inline thread_local PyThreadState* released_state = nullptr;
// Set while this thread takes the GIL back. At interpreter exit that ends the
// thread with a forced unwind, and the flag stays set for the destructors
// it runs: none of them may touch a reference count, although
// PyGILState_Check can say yes once the interpreter has torn its state down.
inline thread_local bool gil_lost = false;

inline void take_gil_back(PyThreadState* state) {
    gil_lost = true;
    PyEval_RestoreThread(state);
    gil_lost = false;
}

// Whether this thread holds the GIL and may release references.
inline bool gil_held_here() noexcept { return !gil_lost && PyGILState_Check(); }

// Releases every parked reference. Needs the GIL; does nothing while this
// thread holds a native lock. Releasing runs finalizers (Python code), so it
// may end the thread with a forced unwind at interpreter exit.
void drain_pending_decrefs();

// Number of parked references (for tests).
size_t pending_decref_count() noexcept;

// Installs the function that every drain point runs first, before the parked
// references are released: the engines park references of their own
// (gc_mirror.hpp) and release them there. GIL held and no native lock held
// when it runs. One hook; installing it again replaces it.
void set_drain_hook(void (*hook)() noexcept) noexcept;

// Releases a strong reference from code that holds the GIL and may be a
// destructor or run during an unwind: at once if that cannot free the object,
// parked for the next drain point otherwise. Should parking find no memory,
// the reference is kept for good rather than released here.
void release_reference(PyObject* obj) noexcept;

class PyHandle {
public:
    PyHandle() noexcept = default;

    // Takes over a strong reference the caller owns (any thread).
    static PyHandle steal(PyObject* obj) {
        PyHandle h;
        if (obj) {
            void* slot = SlotPool::allocate();
            if (!slot) throw std::bad_alloc();
            h.word_ = reinterpret_cast<uintptr_t>(new (slot) Box(obj));
        }
        return h;
    }
    // Takes a new strong reference. Needs the GIL.
    static PyHandle borrow(PyObject* obj) {
        Py_XINCREF(obj);
        return steal(obj);
    }

    // An object the interpreter keeps for its whole life and never frees
    // (a cached small int, True, False): no reference is taken and nothing
    // is shared, yet get() gives the object. Such a handle tests false, so
    // the collector's traversals never visit it.
    static PyHandle everlasting(PyObject* obj) noexcept {
        PyHandle h;
        if (obj) h.word_ = tagged(obj, IN_WORD);
        return h;
    }

    // Takes over a strong reference the caller owns and keeps it in the
    // handle itself, with no box: nothing can share it, so a copy of such a
    // handle is empty. Only for objects no copy ever needs (a value whose
    // primitive gives the object back) and whose freeing runs no Python code.
    // Any thread.
    static PyHandle direct(PyObject* obj) noexcept {
        PyHandle h;
        if (obj) h.word_ = tagged(obj, IN_WORD | OWNED);
        return h;
    }

    PyHandle(const PyHandle& o) noexcept : word_(o.word_) {
        if (is_box(word_)) box_of(word_)->word.fetch_add(1, std::memory_order_relaxed);
        else if (word_ & OWNED) word_ = 0;
    }
    PyHandle(PyHandle&& o) noexcept : word_(std::exchange(o.word_, 0)) {}
    PyHandle& operator=(PyHandle o) noexcept {
        std::swap(word_, o.word_);
        return *this;
    }
    ~PyHandle() { reset(); }

    void reset() noexcept {
        const uintptr_t w = std::exchange(word_, 0);
        if (is_box(w)) {
            Box* b = box_of(w);
            if (b->word.fetch_sub(1, std::memory_order_acq_rel) == 1) release_box(b);
        } else if (w & OWNED) {
            release_direct(object_of(w));
        }
    }

    PyObject* get() const noexcept {
        if (word_ & IN_WORD) return object_of(word_);
        return word_ ? box_of(word_)->obj : nullptr;
    }
    // The object if the handle keeps it in its own word (everlasting and
    // direct handles), with no load beyond the handle's; null otherwise.
    PyObject* object_in_word() const noexcept { return (word_ & IN_WORD) ? object_of(word_) : nullptr; }
    // A new strong reference to the object. Needs the GIL.
    PyObject* new_ref() const noexcept {
        PyObject* o = get();
        Py_XINCREF(o);
        return o;
    }
    // Whether the handle holds a reference (shared or direct).
    explicit operator bool() const noexcept { return word_ != 0 && (word_ & (IN_WORD | OWNED)) != IN_WORD; }
    bool is_direct() const noexcept { return (word_ & OWNED) != 0; }
    bool same_object(const PyHandle& o) const noexcept { return get() == o.get(); }
    // The shared reference itself: equal for copies of one handle only; null
    // for a handle that shares nothing.
    const void* shared_id() const noexcept { return is_box(word_) ? box_of(word_) : nullptr; }
    // Whether no other copy of this handle is left anywhere (a direct handle
    // has none by nature).
    bool sole_copy() const noexcept {
        if (is_box(word_)) return box_of(word_)->word.load(std::memory_order_acquire) == 1;
        return is_direct();
    }

private:
    friend void drain_pending_decrefs();
    friend void release_reference(PyObject* obj) noexcept;

    struct Box {
        // While a handle holds the box, the number of copies; once parked,
        // the next box of the parked list.
        std::atomic<uintptr_t> word;
        PyObject* obj;

        explicit Box(PyObject* o, uintptr_t count = 1) noexcept : word(count), obj(o) {}
        Box* next_parked() const noexcept { return reinterpret_cast<Box*>(word.load(std::memory_order_relaxed)); }
    };
    static_assert(sizeof(Box) == SlotPool::slot_size);
    static_assert(std::is_trivially_destructible_v<Box>);

    // The handle's one word: null; a box (16-aligned, low bits clear); or an
    // object (at least 8-aligned) tagged IN_WORD, with OWNED if the handle
    // holds a reference to it.
    static constexpr uintptr_t IN_WORD = 1;
    static constexpr uintptr_t OWNED = 2;
    static constexpr uintptr_t TAG_MASK = IN_WORD | OWNED;
    static_assert(alignof(PyObject) > TAG_MASK && alignof(Box) > TAG_MASK);

    static uintptr_t tagged(PyObject* obj, uintptr_t tag) noexcept { return reinterpret_cast<uintptr_t>(obj) | tag; }
    static bool is_box(uintptr_t w) noexcept { return w != 0 && (w & TAG_MASK) == 0; }
    static Box* box_of(uintptr_t w) noexcept { return reinterpret_cast<Box*>(w); }
    static PyObject* object_of(uintptr_t w) noexcept { return reinterpret_cast<PyObject*>(w & ~TAG_MASK); }

    // Releases the box's reference and frees it, or parks it (any thread).
    static void release_box(Box* box) noexcept;
    // Releases a direct reference, or parks it in a box of its own (any
    // thread).
    static void release_direct(PyObject* obj) noexcept;
    static void park(Box* box) noexcept;

    uintptr_t word_ = 0;
};
static_assert(sizeof(PyHandle) == sizeof(void*));

// Runs f and hands back what it threw (null if nothing), except the forced
// unwind that ends the thread, which goes on.
template <class F>
std::exception_ptr failure_of(F&& f) {
    try {
        f();
    } catch (...) {
        if (thread_exiting()) throw;
        return std::current_exception();
    }
    return nullptr;
}

// Runs work with the GIL released; called with it held and no Python error
// pending that the work could clobber. What the work throws waits until the
// GIL is back and is then rethrown: taking the GIL back while an exception
// unwinds could start a forced unwind inside that one. A forced unwind from
// the work (it took the GIL inside) goes on at once: the thread never gets the
// GIL back.
template <class Work>
void without_gil(Work&& work) {
    PyThreadState* state = PyEval_SaveThread();
    PyThreadState* const outer = std::exchange(released_state, state);
    const std::exception_ptr failure = failure_of(work);
    released_state = outer;
    take_gil_back(state);
    drain_pending_decrefs();
    if (failure) std::rethrow_exception(failure);
}

// Takes the GIL (from any thread, GIL held or not) for the guard's lifetime.
// Taking it may end the thread with a forced unwind, so never construct
// one in a destructor or while an exception unwinds.
class GilAcquire {
public:
    GilAcquire() {
        if (released_state) {
            own_ = std::exchange(released_state, nullptr);
            take_gil_back(own_);
        } else {
            state_ = PyGILState_Ensure();
        }
    }
    ~GilAcquire() {
        if (own_) released_state = PyEval_SaveThread();
        else PyGILState_Release(state_);
    }
    GilAcquire(const GilAcquire&) = delete;
    GilAcquire& operator=(const GilAcquire&) = delete;

private:
    PyThreadState* own_ = nullptr;  // given up by without_gil on this thread
    PyGILState_STATE state_{};
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
        take_gil_back(st);
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
        take_gil_back(st);
    } catch (...) {
        l.unlock_shared();
        throw;
    }
}

// Holds a native lock taken by a thread that may hold the GIL: if it does, the
// lock is tried first and waited for with the GIL released, as above; if not,
// it is taken plainly. Exclusive, or shared with Shared.
template <class Lockable, bool Shared = false>
class GilSafeGuard {
public:
    explicit GilSafeGuard(Lockable& l) : l_(&l) {
        const bool gil = gil_held_here();
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
        if (old) release_reference(old);
        return *this;
    }
    OwnedRef(const OwnedRef&) = delete;
    OwnedRef& operator=(const OwnedRef&) = delete;
    // Only a thread ended at interpreter exit unwinds past a local reference
    // without the GIL; the dying interpreter takes its objects with it, and
    // touching the count there would race the threads still running.
    ~OwnedRef() {
        if (obj_ && gil_held_here()) release_reference(obj_);
    }

    PyObject* get() const noexcept { return obj_; }
    // Hands the reference to the caller.
    PyObject* release() noexcept { return std::exchange(obj_, nullptr); }
    explicit operator bool() const noexcept { return obj_ != nullptr; }

private:
    PyObject* obj_ = nullptr;
};

}  // namespace tarnwick

#include "index/pyref.hpp"

#include <new>

namespace tarnwick {
namespace {

// Parked boxes, newest first. Pushed lock-free by any thread; only ever
// emptied whole, so a box cannot come back to the head while a push looks at
// it (no ABA).
std::atomic<void*> parked_head{nullptr};
std::atomic<size_t> parked_count{0};
std::atomic<void (*)() noexcept> drain_hook{nullptr};

bool interpreter_usable() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return !Py_IsFinalizing();
#else
    return Py_IsInitialized() != 0;
#endif
}

}  // namespace

void PyHandle::release_box(Box* box) noexcept {
    // Never the last reference here: freeing the object would run its
    // finalizers inside this noexcept frame (see the top of pyref.hpp).
    if (native_locks_held == 0 && gil_held_here() && Py_REFCNT(box->obj) > 1) {
        Py_DECREF(box->obj);
        SlotPool::release(box);
        return;
    }
    park(box);
}

namespace {

// Objects whose freeing runs no Python code (no finalizer, no weak
// references): released as plainly as any other reference.
bool frees_quietly(PyObject* obj) noexcept {
    const PyTypeObject* type = Py_TYPE(obj);
    return type == &PyFloat_Type || type == &PyUnicode_Type || type == &PyLong_Type;
}

}  // namespace

void PyHandle::release_direct(PyObject* obj) noexcept {
    if (native_locks_held == 0 && gil_held_here() && (Py_REFCNT(obj) > 1 || frees_quietly(obj))) {
        Py_DECREF(obj);
        return;
    }
    // No box to park in: one is taken now. Without one the reference is
    // kept for good, the only safe course here (see the top of pyref.hpp).
    if (void* slot = SlotPool::allocate()) park(new (slot) Box(obj, 0));
}

void PyHandle::park(Box* box) noexcept {
    parked_count.fetch_add(1, std::memory_order_relaxed);
    void* head = parked_head.load(std::memory_order_relaxed);
    do {
        box->word.store(reinterpret_cast<uintptr_t>(head), std::memory_order_relaxed);
    } while (!parked_head.compare_exchange_weak(head, box, std::memory_order_release, std::memory_order_relaxed));
}

void drain_pending_decrefs() {
    if (native_locks_held != 0) return;
    if (auto hook = drain_hook.load(std::memory_order_acquire)) hook();
    while (parked_head.load(std::memory_order_acquire) != nullptr) {
        auto* box = static_cast<PyHandle::Box*>(parked_head.exchange(nullptr, std::memory_order_acquire));
        if (!interpreter_usable()) return;
        // Releasing can run __del__, which may park further references. Each
        // box is unlinked before its release, so a thread ended inside a
        // finalizer leaves only the rest of the batch unreleased.
        while (box) {
            PyHandle::Box* next = box->next_parked();
            parked_count.fetch_sub(1, std::memory_order_relaxed);
            PyObject* obj = box->obj;
            SlotPool::release(box);
            box = next;
            Py_DECREF(obj);
        }
    }
}

void release_reference(PyObject* obj) noexcept {
    if (Py_REFCNT(obj) > 1) {
        Py_DECREF(obj);
        return;
    }
    if (void* slot = SlotPool::allocate()) PyHandle::park(new (slot) PyHandle::Box(obj, 0));
}

void set_drain_hook(void (*hook)() noexcept) noexcept { drain_hook.store(hook, std::memory_order_release); }

size_t pending_decref_count() noexcept { return parked_count.load(std::memory_order_acquire); }

}  // namespace tarnwick

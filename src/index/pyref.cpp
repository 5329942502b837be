#include "index/pyref.hpp"

#include <mutex>
#include <vector>


namespace tarnwick {
namespace {

// Plain std::mutex: taking it must not count as holding an engine lock.
std::mutex pending_mutex;
std::vector<PyObject*>* pending = nullptr;  // never freed: outlives every static
std::atomic<size_t> pending_size{0};
std::atomic<void (*)() noexcept> drain_hook{nullptr};

bool interpreter_usable() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return !Py_IsFinalizing();
#else
    return Py_IsInitialized() != 0;
#endif
}

}  // namespace

void release_pyobject(PyObject* obj) noexcept {
    if (!obj) return;
    if (native_locks_held == 0 && PyGILState_Check()) {
        Py_DECREF(obj);
        return;
    }
    std::lock_guard<std::mutex> g(pending_mutex);
    if (!pending) pending = new std::vector<PyObject*>();
    pending->push_back(obj);
    pending_size.store(pending->size(), std::memory_order_release);
}

void drain_pending_decrefs() noexcept {
    if (native_locks_held != 0) return;
    if (auto hook = drain_hook.load(std::memory_order_acquire)) hook();
    while (pending_size.load(std::memory_order_acquire) != 0) {
        std::vector<PyObject*> batch;
        {
            std::lock_guard<std::mutex> g(pending_mutex);
            batch.swap(*pending);
            pending_size.store(0, std::memory_order_release);
        }
        if (!interpreter_usable()) return;
        // Releasing can run __del__, which may park further references.
        for (PyObject* o : batch) Py_DECREF(o);
    }
}

void set_drain_hook(void (*hook)() noexcept) noexcept { drain_hook.store(hook, std::memory_order_release); }

size_t pending_decref_count() noexcept { return pending_size.load(std::memory_order_acquire); }

}  // namespace tarnwick

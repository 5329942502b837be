#include "index/core/gc_mirror.hpp"

#include <algorithm>
#include <atomic>
#include <utility>

#include "index/core/structures/sync.hpp"

namespace tarnwick {
namespace {

std::mutex queue_mutex;
std::vector<std::weak_ptr<GcMirror>>* queue = nullptr;  // never freed: outlives every static
std::atomic<bool> queue_nonempty{false};

}  // namespace

void GcMirror::adopt(const PyHandle& handle) {
    if (closed_ || !handle || !PyObject_IS_GC(handle.get())) return;
    held_.emplace(handle.shared_id(), handle);
    if (held_.size() >= full_sweep_at_ && !full_sweep_due_) {
        full_sweep_due_ = true;
        mark_for_sweep();
    }
}

PyValue GcMirror::adopt_copy(const PyValue& value) {
    if (!value.obj || !PyObject_IS_GC(value.obj.get())) return value;
    PyValue copy = value.with_own_reference();
    adopt(copy.obj);
    return copy;
}

void GcMirror::release_later(PyHandle handle) noexcept {
    if (!handle) return;
    {
        std::lock_guard<std::mutex> g(pending_mutex_);
        try {
            pending_.push_back(std::move(handle));
        } catch (...) {
            // Unchecked, the mirror's copy waits for a full sweep.
            lost_ = true;
        }
    }
    mark_for_sweep();
}

void GcMirror::mark_for_sweep() noexcept {
    // The mirrors are swept at the drain points of the Python references
    // (pyref.hpp), from the first mirror marked on.
    static const bool hooked = (set_drain_hook(&sweep_gc_mirrors), true);
    (void)hooked;
    std::weak_ptr<GcMirror> self = weak_from_this();
    if (self.expired()) return;
    std::lock_guard<std::mutex> g(queue_mutex);
    if (queued_) return;
    try {
        if (!queue) queue = new std::vector<std::weak_ptr<GcMirror>>();
        queue->push_back(std::move(self));
        queued_ = true;
        queue_nonempty.store(true, std::memory_order_release);
    } catch (...) {
        // Left for a later call to mark it again.
    }
}

void GcMirror::sweep() noexcept {
    {
        // First: a copy handed over from here on marks the mirror again.
        std::lock_guard<std::mutex> g(queue_mutex);
        queued_ = false;
    }
    std::vector<PyHandle> pending;
    {
        std::lock_guard<std::mutex> g(pending_mutex_);
        pending.swap(pending_);
        if (std::exchange(lost_, false)) full_sweep_due_ = true;
    }
    std::vector<PyHandle> dropped;
    try {
        for (PyHandle& h : pending) {
            const void* id = h.shared_id();
            h.reset();
            auto it = held_.find(id);
            if (it != held_.end() && it->second.sole_copy()) {
                dropped.push_back(std::move(it->second));
                held_.erase(it);
            }
        }
        if (full_sweep_due_) {
            full_sweep_due_ = false;
            for (auto it = held_.begin(); it != held_.end();) {
                if (it->second.sole_copy()) {
                    dropped.push_back(std::move(it->second));
                    it = held_.erase(it);
                } else {
                    ++it;
                }
            }
            full_sweep_at_ = std::max<size_t>(256, 2 * held_.size());
        }
    } catch (...) {
        full_sweep_due_ = true;
    }
    // Released here, once the map is consistent: a finalizer may re-enter.
}

int GcMirror::traverse(visitproc visit, void* arg) const {
    for (const auto& [id, handle] : held_) Py_VISIT(handle.get());
    return 0;
}

void GcMirror::close() noexcept {
    closed_ = true;
    std::unordered_map<const void*, PyHandle> dropped;
    dropped.swap(held_);
}

void sweep_gc_mirrors() noexcept {
    if (native_locks_held != 0) return;
    while (queue_nonempty.load(std::memory_order_acquire)) {
        std::vector<std::weak_ptr<GcMirror>> batch;
        {
            std::lock_guard<std::mutex> g(queue_mutex);
            batch.swap(*queue);
            queue_nonempty.store(false, std::memory_order_release);
        }
        for (const std::weak_ptr<GcMirror>& weak : batch)
            if (std::shared_ptr<GcMirror> mirror = weak.lock()) mirror->sweep();
    }
}

}  // namespace tarnwick

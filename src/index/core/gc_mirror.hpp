// The references an engine tree holds for the items of container values, as
// the garbage collector is shown them.
//
// Every item of a list, tuple or set value is converted into a value of its
// own, with a new reference to the item. Those values live deep in the
// engine's structures (element records, exact-value keys, nested item tables),
// which change without the GIL, so the collector cannot read them: it must
// see the same references in every pass of one collection. Instead, every
// engine tree (an Index's engine, its nested engines and all their maps)
// shares one GcMirror, which keeps, under the GIL, a copy of each handle made
// for the tree's items. A copy shares the handle's single reference, so the
// Index reports each such reference exactly once, and the reference cannot go
// away between passes while the mirror holds it.
//
// A handle leaves the mirror once the mirror's copy is the only one left.
// Engines hand the copies they drop to release_later(); a sweep, run with the
// GIL and no native lock (drain points), checks those. Copies dropped without
// notice are found by an occasional full sweep.
//
// A handle must belong to one tree only: a tree never reports a reference
// that another tree also holds (that tree's path to the object would be
// invisible to the collector), so values copied from another tree are given
// fresh references first (adopt_copy).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "index/pyref.hpp"
#include "index/value.hpp"

namespace tarnwick {

class GcMirror : public std::enable_shared_from_this<GcMirror> {
public:
    GcMirror() = default;
    GcMirror(const GcMirror&) = delete;
    GcMirror& operator=(const GcMirror&) = delete;

    // Records a handle made for this tree. GIL held; no Python code runs.
    // Objects that cannot take part in a cycle are not recorded.
    void adopt(const PyHandle& handle);
    // The value with a new reference of its own, adopted here; values whose
    // object cannot take part in a cycle are shared as they are. GIL held.
    PyValue adopt_copy(const PyValue& value);

    // A copy of a handle this tree let go of; the next sweep checks whether
    // the mirror's copy is the last. Any thread, any lock, no GIL needed.
    void release_later(PyHandle handle) noexcept;

    // Drops the handles only the mirror still holds. GIL held, no native
    // lock held (dropping a reference can run Python code).
    void sweep() noexcept;

    // Visits every recorded reference. GIL held.
    int traverse(visitproc visit, void* arg) const;

    // Drops every handle and records nothing any more: the Index that
    // reported them is gone. GIL held.
    void close() noexcept;

    // Number of recorded handles. GIL held.
    size_t size() const noexcept { return held_.size(); }

private:
    void mark_for_sweep() noexcept;

    // GIL-guarded.
    std::unordered_map<const void*, PyHandle> held_;
    size_t full_sweep_at_ = 256;
    bool full_sweep_due_ = false;
    bool closed_ = false;

    // Guarded by pending_mutex_ (a leaf; a plain mutex, so taking it does
    // not count as holding an engine lock).
    std::mutex pending_mutex_;
    std::vector<PyHandle> pending_;
    bool lost_ = false;  // a copy could not be queued
    // Guarded by the process-wide queue's mutex: whether the mirror is in it.
    bool queued_ = false;
};

// Sweeps every mirror that was handed released copies. GIL held; does
// nothing while this thread holds a native lock.
void sweep_gc_mirrors() noexcept;

}  // namespace tarnwick

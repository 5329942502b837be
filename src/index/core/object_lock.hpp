// Holding objects' engine-list mutexes while Python code may run.
//
// Indexing an object holds its engine-list mutex while the items of its
// container attributes are converted, and conversion runs Python code (an
// item's __hash__), which may assign attributes or add objects to an index.
// That code must not wait for an engine list this thread already holds (it
// would wait forever), nor for another object's while this thread holds one
// (a thread doing the reverse would wait for this one). So every hold is
// recorded per thread: a thread that holds none locks as usual; a thread that
// already holds some only tries, and refuses with ObjectLockedError when the
// list is its own or busy.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <vector>

#include "index/core/structures/sync.hpp"

namespace tarnwick {

// Raised (and turned into a Python RuntimeError) when a lock cannot be taken
// without risking a deadlock.
class ObjectLockedError : public std::runtime_error {
public:
    ObjectLockedError();
};

// Whether this thread holds any engine list through ObjectLocks.
bool holds_object_locks() noexcept;
// Whether this thread holds this one through ObjectLocks.
bool holds_object_lock(const Mutex& m) noexcept;

// Engine-list mutexes held by this thread, released (in reverse order) when
// the guard goes. Movable, not copyable.
class ObjectLocks {
public:
    ObjectLocks() = default;
    // Locks one mutex, as described above.
    explicit ObjectLocks(Mutex& m) { add(m); }
    ObjectLocks(ObjectLocks&& o) noexcept : held_(std::move(o.held_)), outer_(o.outer_) { o.held_.clear(); }
    ObjectLocks& operator=(ObjectLocks&&) = delete;
    ObjectLocks(const ObjectLocks&) = delete;
    ObjectLocks& operator=(const ObjectLocks&) = delete;
    ~ObjectLocks() { release(); }

    // Locks one more. Several are locked by one guard in a fixed order
    // (ascending object ids); only locks held before the guard's first one
    // make it try instead of wait.
    void add(Mutex& m);
    // Locks one more only if that needs no wait: false, with nothing taken,
    // when another thread holds it or this thread does already.
    bool try_add(Mutex& m);
    // Records a mutex the caller has just locked by other means.
    void adopt(Mutex& m);
    // Room for n more locks, taken before any is locked.
    void reserve(size_t n);
    void release() noexcept;

private:
    // Lists m as this guard's and this thread's, before it is locked; false,
    // listing nothing, if this thread holds it already.
    bool list(Mutex& m);
    void unlist(Mutex& m) noexcept;

    std::vector<Mutex*> held_;
    // Number of locks this thread held from elsewhere when the first of this
    // guard's was taken.
    size_t outer_ = 0;
};

}  // namespace tarnwick

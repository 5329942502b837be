#include "index/core/object_lock.hpp"

#include <unordered_set>

namespace tarnwick {
namespace {

// A batch holds one lock per object of the batch: a set, so that recording
// and checking a lock costs the same for the millionth object as for the first.
thread_local std::unordered_set<const Mutex*> held_here;

}  // namespace

ObjectLockedError::ObjectLockedError()
    : std::runtime_error(
          "an Indexable that is being indexed cannot be changed or added from code that the indexing runs "
          "(such as an item's __hash__)") {}

bool holds_object_locks() noexcept { return !held_here.empty(); }

bool holds_object_lock(const Mutex& m) noexcept { return held_here.count(&m) != 0; }

// Listed before locking, so that a failed allocation leaves nothing locked.
bool ObjectLocks::list(Mutex& m) {
    if (held_.empty()) outer_ = held_here.size();
    if (held_here.count(&m)) return false;
    held_.push_back(&m);
    try {
        held_here.insert(&m);
    } catch (...) {
        held_.pop_back();
        throw;
    }
    return true;
}

void ObjectLocks::unlist(Mutex& m) noexcept {
    held_here.erase(&m);
    held_.pop_back();
}

bool ObjectLocks::try_add(Mutex& m) {
    if (!list(m)) return false;
    if (m.try_lock()) return true;
    unlist(m);
    return false;
}

void ObjectLocks::add(Mutex& m) {
    if (!list(m)) throw ObjectLockedError();
    if (outer_ == 0) {
        m.lock();
    } else if (!m.try_lock()) {
        unlist(m);
        throw ObjectLockedError();
    }
}

void ObjectLocks::adopt(Mutex& m) {
    if (held_.empty()) outer_ = held_here.size();
    try {
        held_.push_back(&m);
        held_here.insert(&m);
    } catch (...) {
        if (!held_.empty() && held_.back() == &m) held_.pop_back();
        held_here.erase(&m);
        m.unlock();
        throw;
    }
}

void ObjectLocks::reserve(size_t n) {
    held_.reserve(n);
    held_here.reserve(held_here.size() + n);
}

void ObjectLocks::release() noexcept {
    while (!held_.empty()) {
        Mutex* m = held_.back();
        held_.pop_back();
        held_here.erase(m);
        m->unlock();
    }
}

}  // namespace tarnwick

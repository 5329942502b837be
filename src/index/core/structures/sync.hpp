// Native locks of the engine.
//
// Every lock counts itself into a per-thread tally while held. A Python
// reference whose last owner goes away while the tally is non-zero must not be
// released on the spot (its destructor could run Python code that re-enters an
// engine and blocks on the very lock this thread holds); see pyref.hpp.
#pragma once

#include <mutex>
#include <shared_mutex>

namespace tarnwick {

inline thread_local int native_locks_held = 0;

// A lock that counts itself into native_locks_held while held.
template <class Native>
class CountedLock {
public:
    CountedLock() = default;
    CountedLock(const CountedLock&) = delete;
    CountedLock& operator=(const CountedLock&) = delete;

    void lock() { m_.lock(); ++native_locks_held; }
    bool try_lock() {
        if (!m_.try_lock()) return false;
        ++native_locks_held;
        return true;
    }
    void unlock() { --native_locks_held; m_.unlock(); }

protected:
    Native m_;
};

class Mutex : public CountedLock<std::mutex> {};

// Reader-writer lock; satisfies SharedMutex, so std::shared_lock and
// std::unique_lock work with it.
class RwLock : public CountedLock<std::shared_mutex> {
public:
    void lock_shared() { m_.lock_shared(); ++native_locks_held; }
    bool try_lock_shared() {
        if (!m_.try_lock_shared()) return false;
        ++native_locks_held;
        return true;
    }
    void unlock_shared() { --native_locks_held; m_.unlock_shared(); }
};

using ReadGuard = std::shared_lock<RwLock>;
using WriteGuard = std::unique_lock<RwLock>;
using MutexGuard = std::unique_lock<Mutex>;

// A value with the lock that guards it. The value comes first: readers that
// may skip the lock (attribute reads under the GIL) then find the value's
// first fields at the start of the object.
template <class T, class Lock>
class Locked {
public:
    template <class... Args>
    explicit Locked(Args&&... args) : value_(std::forward<Args>(args)...) {}

    Lock& lock() const { return lock_; }
    // Caller must hold lock() in the matching mode.
    T& get() { return value_; }
    const T& get() const { return value_; }

private:
    T value_;
    mutable Lock lock_;
};

template <class T>
using RwLocked = Locked<T, RwLock>;
template <class T>
using MutexLocked = Locked<T, Mutex>;

}  // namespace tarnwick

// Native locks of the engine.
//
// Every lock counts itself into a per-thread tally while held. A Python
// reference whose last owner goes away while the tally is non-zero must not be
// released on the spot (its destructor could run Python code that re-enters an
// engine and blocks on the very lock this thread holds); see pyref.hpp.
//
// A process forked while another thread holds a lock would inherit it held by
// a thread that does not exist in the child, and the data behind it possibly
// half written. So every lock is taken inside the fork gate (see ForkGate):
// the thread's first lock enters it, its last leaves it, and a fork waits
// until no thread is inside.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <shared_mutex>

namespace tarnwick {

inline thread_local int native_locks_held = 0;

// Many threads may be inside at once; a fork closes it, waiting until every
// thread has left, and opens it again in both processes once it is done.
// Closing it only asks newcomers to wait, so a fork is not starved by a
// steady stream of short holds.
class ForkGate {
public:
    // How a thread that must wait for the gate waits: set by the module to a
    // function that releases the GIL around wait(ctx) when the thread holds
    // it (a thread holding the GIL must not block on what the forking thread
    // holds while that thread waits for the GIL). Null: wait(ctx) directly.
    using BlockingHook = void (*)(void (*wait)(void*), void* ctx);
    inline static std::atomic<BlockingHook> blocking_hook{nullptr};

    void enter() {
        while (!try_enter()) blocking(&wait_until_open, this);
    }
    bool try_enter() {
        if (!(state_.fetch_add(1, std::memory_order_acquire) & closing)) return true;
        leave();
        return false;
    }
    void leave() {
        const uint32_t before = state_.fetch_sub(1, std::memory_order_release);
        if ((before & closing) && (before & ~closing) == 1) state_.notify_all();
    }

    // Waits for the gate to be open, closes it, and waits until nobody is
    // inside. The caller holds no native lock and does not hold the GIL.
    void close() {
        for (uint32_t current = state_.load();;) {
            if (current & closing) {
                state_.wait(current);
                current = state_.load();
            } else if (state_.compare_exchange_weak(current, current | closing)) {
                break;
            }
        }
        for (uint32_t current = state_.load(); current != closing; current = state_.load()) state_.wait(current);
    }
    void open() {
        state_.fetch_and(~closing);
        state_.notify_all();
    }
    // In a forked child, where the thread that closed the gate is the only one.
    void reset_in_child() { state_.store(0); }

    // Threads inside, whatever the state of the gate.
    uint32_t inside() const { return state_.load() & ~closing; }

private:
    static constexpr uint32_t closing = 0x80000000u;

    static void wait_until_open(void* self) {
        auto& state = static_cast<ForkGate*>(self)->state_;
        for (uint32_t current = state.load(); current & closing; current = state.load()) state.wait(current);
    }
    static void blocking(void (*wait)(void*), void* ctx) {
        if (BlockingHook hook = blocking_hook.load()) hook(wait, ctx);
        else wait(ctx);
    }

    std::atomic<uint32_t> state_{0};
};

inline ForkGate FORK_GATE;
// How many gate holds (locks and GateHold sections) this thread has; it is
// inside the gate while this is non-zero.
inline thread_local int gate_holds = 0;

inline void hold_gate() {
    if (gate_holds == 0) FORK_GATE.enter();
    ++gate_holds;
}
inline bool try_hold_gate() {
    if (gate_holds == 0 && !FORK_GATE.try_enter()) return false;
    ++gate_holds;
    return true;
}
inline void release_gate() {
    if (--gate_holds == 0) FORK_GATE.leave();
}

// Keeps the thread inside the fork gate for a stretch of engine work done
// with the GIL released, which also takes plain mutexes (the id allocator,
// the pending-release list) and drops references: none of that is half done
// at a fork.
class GateHold {
public:
    GateHold() { hold_gate(); }
    ~GateHold() { release_gate(); }
    GateHold(const GateHold&) = delete;
    GateHold& operator=(const GateHold&) = delete;
};

// A lock that counts itself into native_locks_held while held, and holds the
// fork gate meanwhile.
template <class Native>
class CountedLock {
public:
    CountedLock() = default;
    CountedLock(const CountedLock&) = delete;
    CountedLock& operator=(const CountedLock&) = delete;

    void lock() {
        hold_gate();
        m_.lock();
        ++native_locks_held;
    }
    bool try_lock() {
        if (!try_hold_gate()) return false;
        if (!m_.try_lock()) {
            release_gate();
            return false;
        }
        ++native_locks_held;
        return true;
    }
    void unlock() {
        --native_locks_held;
        m_.unlock();
        release_gate();
    }

protected:
    Native m_;
};

// A mutex in one word: 0 free, 1 held, 2 held with waiters (who sleep on the
// word itself). Every object carries two, so std::mutex's forty bytes would
// be a large share of a small object.
class WordLock {
public:
    WordLock() = default;
    WordLock(const WordLock&) = delete;
    WordLock& operator=(const WordLock&) = delete;

    void lock() noexcept {
        uint32_t expected = 0;
        if (state_.compare_exchange_strong(expected, 1, std::memory_order_acquire, std::memory_order_relaxed)) return;
        // Contended: mark the word as having waiters before sleeping, so that
        // the holder's unlock wakes someone.
        if (expected != 2) expected = state_.exchange(2, std::memory_order_acquire);
        while (expected != 0) {
            state_.wait(2, std::memory_order_relaxed);
            expected = state_.exchange(2, std::memory_order_acquire);
        }
    }
    bool try_lock() noexcept {
        uint32_t expected = 0;
        return state_.compare_exchange_strong(expected, 1, std::memory_order_acquire, std::memory_order_relaxed);
    }
    void unlock() noexcept {
        if (state_.exchange(0, std::memory_order_release) == 2) state_.notify_one();
    }

private:
    std::atomic<uint32_t> state_{0};
};
static_assert(sizeof(WordLock) == 4);

class Mutex : public CountedLock<WordLock> {};
static_assert(sizeof(Mutex) == 4);

// Reader-writer lock; satisfies SharedMutex, so std::shared_lock and
// std::unique_lock work with it.
class RwLock : public CountedLock<std::shared_mutex> {
public:
    void lock_shared() {
        hold_gate();
        m_.lock_shared();
        ++native_locks_held;
    }
    bool try_lock_shared() {
        if (!try_hold_gate()) return false;
        if (!m_.try_lock_shared()) {
            release_gate();
            return false;
        }
        ++native_locks_held;
        return true;
    }
    void unlock_shared() {
        --native_locks_held;
        m_.unlock_shared();
        release_gate();
    }
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

// A value and the lock that guards it, kept apart by their owner (which may
// pack several small locks together rather than pad each beside its value),
// with the same lock() and get() as Locked. A view: the owner outlives it.
template <class T, class Lock>
class LockedRef {
public:
    LockedRef(T& value, Lock& lock) noexcept : value_(&value), lock_(&lock) {}

    Lock& lock() const noexcept { return *lock_; }
    // Caller must hold lock() in the matching mode.
    T& get() const noexcept { return *value_; }

private:
    T* value_;
    Lock* lock_;
};

template <class T>
using RwLocked = Locked<T, RwLock>;
template <class T>
using MutexLocked = Locked<T, Mutex>;

}  // namespace tarnwick

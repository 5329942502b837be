#include "index/core/object_lock.hpp"

#include <cstdint>
#include <vector>

namespace tarnwick {
namespace {

// The engine lists a thread holds. A batch holds one per object of the
// batch: a set, so that recording and checking a lock costs the same for
// the millionth object as for the first, and a flat one (open addressing,
// linear probing, removal by shifting back), so that it costs no
// allocation per lock either.
class HeldSet {
public:
    bool empty() const noexcept { return size_ == 0; }
    size_t size() const noexcept { return size_; }

    bool contains(const Mutex* m) const noexcept {
        if (size_ == 0) return false;
        for (size_t i = home(m);; i = next(i)) {
            if (!slots_[i]) return false;
            if (slots_[i] == m) return true;
        }
    }

    // Room for n entries in all; throws std::bad_alloc changing nothing.
    void reserve(size_t n) {
        if (n <= limit(slots_.size())) return;
        size_t capacity = slots_.empty() ? 16 : slots_.size();
        while (n > limit(capacity)) capacity *= 2;
        rehash(capacity);
    }

    void insert(const Mutex* m) {
        reserve(size_ + 1);
        size_t i = home(m);
        for (; slots_[i]; i = next(i))
            if (slots_[i] == m) return;
        slots_[i] = m;
        ++size_;
    }

    void erase(const Mutex* m) noexcept {
        if (size_ == 0) return;
        size_t hole = home(m);
        for (;; hole = next(hole)) {
            if (!slots_[hole]) return;
            if (slots_[hole] == m) break;
        }
        // Later entries of the probe run move back into the hole unless
        // their home lies after it, so no lookup stops short of them.
        for (size_t j = next(hole); slots_[j]; j = next(j)) {
            const size_t h = home(slots_[j]);
            const bool stays = hole < j ? (hole < h && h <= j) : (hole < h || h <= j);
            if (stays) continue;
            slots_[hole] = slots_[j];
            hole = j;
        }
        slots_[hole] = nullptr;
        --size_;
        // A large batch's table goes back once its locks are released.
        if (size_ == 0 && slots_.size() > 1024) std::vector<const Mutex*>().swap(slots_);
    }

private:
    // Objects made one after the other lie one after the other in memory,
    // and a batch locks them in about that order: within a 64 KiB region the
    // address picks neighbouring slots, so the table is walked nearly in
    // order rather than with a cache miss per lock; each region starts at a
    // slot hashed from its number, so that strided or aligned objects do not
    // pile up on a few slots.
    size_t home(const Mutex* m) const noexcept {
        const uint64_t a = uint64_t(reinterpret_cast<uintptr_t>(m));
        const uint64_t region = ((a >> 16) * 0x9E3779B97F4A7C15ull) >> 32;
        return static_cast<size_t>(((a >> 4) + region) & (slots_.size() - 1));
    }
    size_t next(size_t i) const noexcept { return (i + 1) & (slots_.size() - 1); }
    // At most 3/4 full.
    static size_t limit(size_t capacity) noexcept { return capacity - capacity / 4; }

    void rehash(size_t capacity) {
        std::vector<const Mutex*> grown(capacity, nullptr);  // the only step that can fail
        std::swap(slots_, grown);
        for (const Mutex* m : grown) {
            if (!m) continue;
            size_t i = home(m);
            while (slots_[i]) i = next(i);
            slots_[i] = m;
        }
    }

    std::vector<const Mutex*> slots_;
    size_t size_ = 0;
};

thread_local HeldSet held_here;

}  // namespace

ObjectLockedError::ObjectLockedError()
    : std::runtime_error(
          "an Indexable that is being indexed cannot be changed or added from code that the indexing runs "
          "(such as an item's __hash__)") {}

bool holds_object_locks() noexcept { return !held_here.empty(); }

bool holds_object_lock(const Mutex& m) noexcept { return held_here.contains(&m); }

// Listed before locking, so that a failed allocation leaves nothing locked.
bool ObjectLocks::list(Mutex& m) {
    if (held_.empty()) outer_ = held_here.size();
    if (held_here.contains(&m)) return false;
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

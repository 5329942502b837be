#include "index/core/object_lock.hpp"

#include <algorithm>

namespace tarnwick {
namespace {

thread_local std::vector<const Mutex*> held_here;

bool held_by_this_thread(const Mutex& m) noexcept {
    return std::find(held_here.begin(), held_here.end(), &m) != held_here.end();
}

}  // namespace

ObjectLockedError::ObjectLockedError()
    : std::runtime_error(
          "an Indexable that is being indexed cannot be changed or added from code that the indexing runs "
          "(such as an item's __hash__)") {}

bool holds_object_locks() noexcept { return !held_here.empty(); }

void ObjectLocks::add(Mutex& m) {
    if (held_.empty()) outer_ = held_here.size();
    if (held_by_this_thread(m)) throw ObjectLockedError();
    held_here.reserve(held_here.size() + 1);
    held_.reserve(held_.size() + 1);
    if (outer_ == 0) {
        m.lock();
    } else if (!m.try_lock()) {
        throw ObjectLockedError();
    }
    held_here.push_back(&m);
    held_.push_back(&m);
}

void ObjectLocks::adopt(Mutex& m) {
    if (held_.empty()) outer_ = held_here.size();
    try {
        held_here.push_back(&m);
        held_.push_back(&m);
    } catch (...) {
        if (!held_here.empty() && held_here.back() == &m) held_here.pop_back();
        m.unlock();
        throw;
    }
}

void ObjectLocks::release() noexcept {
    while (!held_.empty()) {
        Mutex* m = held_.back();
        held_.pop_back();
        auto it = std::find(held_here.rbegin(), held_here.rend(), m);
        if (it != held_here.rend()) held_here.erase(std::next(it).base());
        m->unlock();
    }
}

}  // namespace tarnwick

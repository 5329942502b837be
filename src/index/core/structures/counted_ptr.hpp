// A shared pointer in one word, for objects that carry their own count.
//
// std::shared_ptr takes two words per holder and a control block per object
// (16 bytes in front of it even when made by make_shared). Objects held by
// many holders and made by the million (the record of every indexed object)
// keep their count inside instead, and every holder is a single pointer.
//
// T's namespace provides, found by argument-dependent lookup:
//   void count_up(const T*) noexcept;    one more holder
//   void count_down(const T*) noexcept;  one holder less; the last one frees
//                                         the object, on whatever thread
// (usually on an EmbeddedCount inside T). Declared ahead of a use, they let
// code copy and drop pointers to a T it only knows by name: they may be
// defined out of line, where T is complete. No weak form: nothing may watch
// an object it does not keep alive.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <utility>

namespace tarnwick {

// The count to embed: starts at one, for the holder that made the object.
class EmbeddedCount {
public:
    EmbeddedCount() noexcept = default;
    EmbeddedCount(const EmbeddedCount&) = delete;
    EmbeddedCount& operator=(const EmbeddedCount&) = delete;

    void up() noexcept { n_.fetch_add(1, std::memory_order_relaxed); }
    // The last holder's decrement must see every write other holders made
    // before dropping theirs (acquire), and publish its own (release).
    bool down() noexcept { return n_.fetch_sub(1, std::memory_order_acq_rel) == 1; }
    uint32_t load() const noexcept { return n_.load(std::memory_order_relaxed); }

private:
    std::atomic<uint32_t> n_{1};
};
static_assert(sizeof(EmbeddedCount) == 4);

template <class T>
class CountedPtr {
public:
    constexpr CountedPtr() noexcept = default;
    constexpr CountedPtr(std::nullptr_t) noexcept {}
    CountedPtr(const CountedPtr& o) noexcept : p_(o.p_) {
        if (p_) count_up(static_cast<const T*>(p_));
    }
    CountedPtr(CountedPtr&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    CountedPtr& operator=(const CountedPtr& o) noexcept {
        CountedPtr(o).swap(*this);
        return *this;
    }
    CountedPtr& operator=(CountedPtr&& o) noexcept {
        CountedPtr(std::move(o)).swap(*this);
        return *this;
    }
    CountedPtr& operator=(std::nullptr_t) noexcept {
        reset();
        return *this;
    }
    ~CountedPtr() { drop(p_); }

    // Takes over the count of the holder that made p (a fresh object's
    // count is one): no increment.
    static CountedPtr adopt(T* p) noexcept {
        CountedPtr out;
        out.p_ = p;
        return out;
    }

    void reset() noexcept { drop(std::exchange(p_, nullptr)); }
    void swap(CountedPtr& o) noexcept { std::swap(p_, o.p_); }

    T* get() const noexcept { return p_; }
    T& operator*() const noexcept { return *p_; }
    T* operator->() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }

    friend bool operator==(const CountedPtr& a, const CountedPtr& b) noexcept { return a.p_ == b.p_; }
    friend bool operator==(const CountedPtr& a, std::nullptr_t) noexcept { return a.p_ == nullptr; }

private:
    static void drop(T* p) noexcept {
        if (p) count_down(static_cast<const T*>(p));
    }

    T* p_ = nullptr;
};

}  // namespace tarnwick

// A table of slots indexed by id, made of pages that exist only where some id
// has a slot.
//
// Ids are process-wide: an index of six objects made after a million others
// holds ids near a million. A flat vector indexed by id would cost every such
// index a million slots, to allocate, zero, walk when the collector asks and
// free again. Here a missing page reads as empty slots, so a table costs its
// pages (one per PageBits-sized run of ids that holds something) plus a
// directory of one pointer per page-sized run below the highest id. Reading a
// slot adds one load from the directory, which stays in cache.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "index/core/structures/alloc_fault.hpp"

namespace tarnwick {

template <class T, unsigned PageBits = 8>
class PagedSlots {
public:
    static constexpr size_t page_size = size_t(1) << PageBits;

    PagedSlots() = default;
    PagedSlots(PagedSlots&&) noexcept = default;
    PagedSlots& operator=(PagedSlots&&) noexcept = default;
    PagedSlots(const PagedSlots& o) {
        pages_.resize(o.pages_.size());
        for (size_t p = 0; p < o.pages_.size(); ++p) {
            if (!o.pages_[p]) continue;
            pages_[p] = std::make_unique<T[]>(page_size);
            std::copy(o.pages_[p].get(), o.pages_[p].get() + page_size, pages_[p].get());
        }
    }
    PagedSlots& operator=(const PagedSlots& o) {
        if (this != &o) *this = PagedSlots(o);
        return *this;
    }

    // One past the highest id the directory reaches; every id may be read.
    size_t size() const noexcept { return pages_.size() << PageBits; }
    size_t page_count() const noexcept {
        size_t n = 0;
        for (const auto& page : pages_) n += page != nullptr;
        return n;
    }

    // The slot of `id`, or an empty one when its page does not exist.
    const T& operator[](size_t id) const noexcept {
        const size_t p = id >> PageBits;
        if (p >= pages_.size() || !pages_[p]) return empty();
        return pages_[p][id & (page_size - 1)];
    }

    // Asks for the cache line of slot `id` ahead of its use.
    void prefetch(size_t id) const noexcept {
        const size_t p = id >> PageBits;
        if (p < pages_.size() && pages_[p]) __builtin_prefetch(&pages_[p][id & (page_size - 1)]);
    }

    // The slot of `id` if its page exists: emptying a slot needs no page.
    T* find(size_t id) noexcept {
        const size_t p = id >> PageBits;
        if (p >= pages_.size() || !pages_[p]) return nullptr;
        return &pages_[p][id & (page_size - 1)];
    }

    // The slot of `id`, its page made if needed. Throws std::bad_alloc and
    // then changes nothing that a reader could see.
    T& make(size_t id) {
        const size_t p = id >> PageBits;
        if (p >= pages_.size()) pages_.resize(p + 1);
        if (!pages_[p]) pages_[p] = std::make_unique<T[]>(page_size);
        return pages_[p][id & (page_size - 1)];
    }

    // make(id) for tables whose growth is an allocation point of the engine
    // (alloc_fault.hpp): the undo paths of callers are tested through it.
    T& reserve(size_t id) {
        const size_t p = id >> PageBits;
        if (p >= pages_.size() || !pages_[p]) alloc_point();
        return make(id);
    }

    // fn(id, slot) for every slot of every page there is, in id order.
    template <class F>
    void for_each_slot(F&& fn) {
        for (size_t p = 0; p < pages_.size(); ++p)
            if (pages_[p])
                for (size_t i = 0; i < page_size; ++i) fn((p << PageBits) | i, pages_[p][i]);
    }
    template <class F>
    void for_each_slot(F&& fn) const {
        for (size_t p = 0; p < pages_.size(); ++p)
            if (pages_[p])
                for (size_t i = 0; i < page_size; ++i) fn((p << PageBits) | i, std::as_const(pages_[p][i]));
    }

    void clear() noexcept { pages_.clear(); }

private:
    static const T& empty() noexcept {
        static const T slot{};
        return slot;
    }

    std::vector<std::unique_ptr<T[]>> pages_;
};

}  // namespace tarnwick

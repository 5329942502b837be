// A map from 32-bit ids to 32-bit values, stored directly by id in pages
// allocated on first use.
//
// Queries look up the ids of a bitmap in ascending order; a hash map scatters
// those lookups over memory, while pages keep neighbouring ids together, so a
// lookup per hit costs about a sequential read. Ids issued together (one bulk
// insertion) share pages, which keeps the memory near 4 bytes per entry. No
// locking: the owner guards it.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <unordered_map>
#include <vector>

#include "index/core/structures/paged_slots.hpp"

namespace tarnwick {

class IdMap {
public:
    std::optional<uint32_t> get(uint32_t id) const noexcept {
        if (const uint32_t v = slots_[id]) return v - 1;
        if (top_values_.empty()) return std::nullopt;
        auto it = top_values_.find(id);
        if (it == top_values_.end()) return std::nullopt;
        return it->second;
    }
    bool contains(uint32_t id) const noexcept { return get(id).has_value(); }

    // fn(id, value) for each of ids[0..n) that has an entry, in that order.
    // Slots a few lookups ahead are prefetched: hits of a query lie a cache
    // line or more apart, and the loads need not wait for one another.
    template <class F>
    void get_many(const uint32_t* ids, size_t n, F&& fn) const {
        constexpr size_t ahead = 16;
        for (size_t i = 0; i < n; ++i) {
            if (i + ahead < n) slots_.prefetch(ids[i + ahead]);
            if (const std::optional<uint32_t> v = get(ids[i])) fn(ids[i], *v);
        }
    }

    void set(uint32_t id, uint32_t value) {
        erase(id);
        if (value == no_slot_value) {
            top_values_.emplace(id, value);
        } else {
            slots_.make(id) = value + 1;
        }
        ++size_;
    }

    // Returns whether the id had an entry.
    bool erase(uint32_t id) noexcept {
        if (uint32_t* slot = slots_.find(id); slot && *slot) {
            *slot = 0;
            --size_;
            return true;
        }
        if (!top_values_.empty() && top_values_.erase(id)) {
            --size_;
            return true;
        }
        return false;
    }

    size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    void clear() noexcept {
        slots_.clear();
        top_values_.clear();
        size_ = 0;
    }

    // fn(id, value) for every entry, ascending ids first for the paged ones.
    template <class F>
    void for_each(F&& fn) const {
        slots_.for_each_slot([&](size_t id, uint32_t v) {
            if (v) fn(uint32_t(id), v - 1);
        });
        for (const auto& [id, v] : top_values_) fn(id, v);
    }

private:
    // A slot holds value + 1 (0 is an empty slot), so the one value that
    // does not fit lives in a side map.
    static constexpr uint32_t no_slot_value = UINT32_MAX;

    PagedSlots<uint32_t, 10> slots_;
    size_t size_ = 0;
    std::unordered_map<uint32_t, uint32_t> top_values_;
};

}  // namespace tarnwick

// The attribute map of an object: attribute-name id -> value.
//
// Most objects carry a handful of attributes, so the map starts as eight inline
// slots scanned linearly and becomes a hash map at the ninth distinct key. It
// only grows: attributes cannot be deleted, and it never turns back into the
// inline form (clear() exists solely to break reference cycles).
//
// Values may have non-trivial destructors (they hold Python references). Old
// values are moved out and destroyed only after the map is consistent again,
// so a destructor that reaches back into this map sees a valid map. Callers
// hold the map's mutex for every operation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

#include "index/core/structures/fx_hash.hpp"

namespace tarnwick {

template <class K>
uint32_t hybrid_key_hash(const K& key) noexcept {
    static_assert(std::is_integral_v<K>, "attribute map keys are integer ids");
    if constexpr (sizeof(K) <= 4) {
        return fx_hash_u32(static_cast<uint32_t>(key));
    } else {
        return fx_hash_u64(static_cast<uint64_t>(key));
    }
}

// Up to eight pairs in insertion order; slots are never removed.
template <class K, class V>
class SmallKVMap {
public:
    static constexpr size_t CAPACITY = 8;
    static constexpr size_t NOT_FOUND = CAPACITY;

    SmallKVMap() noexcept {}
    ~SmallKVMap() { destroy_all(); }

    SmallKVMap(SmallKVMap&& o) noexcept(std::is_nothrow_move_constructible_v<V>) {
        for (size_t i = 0; i < o.len_; ++i) {
            keys_[i] = o.keys_[i];
            new (&slots_[i].value) V(std::move(o.slots_[i].value));
            len_ = i + 1;
        }
        o.destroy_all();
    }
    SmallKVMap& operator=(SmallKVMap&& o) noexcept(std::is_nothrow_move_constructible_v<V>) {
        if (this != &o) {
            SmallKVMap dropped(std::move(*this));
            for (size_t i = 0; i < o.len_; ++i) {
                keys_[i] = o.keys_[i];
                new (&slots_[i].value) V(std::move(o.slots_[i].value));
                len_ = i + 1;
            }
            o.destroy_all();
        }
        return *this;
    }
    SmallKVMap(const SmallKVMap&) = delete;
    SmallKVMap& operator=(const SmallKVMap&) = delete;

    size_t len() const noexcept { return len_; }
    bool full() const noexcept { return len_ == CAPACITY; }

    size_t find(const K& key) const noexcept {
        for (size_t i = 0; i < len_; ++i) {
            if (keys_[i] == key) return i;
        }
        return NOT_FOUND;
    }
    const V* get(const K& key) const noexcept {
        size_t i = find(key);
        return i == NOT_FOUND ? nullptr : &slots_[i].value;
    }
    V* get(const K& key) noexcept { return const_cast<V*>(std::as_const(*this).get(key)); }

    // Appends a pair whose key is not present; requires !full().
    void push(const K& key, V&& value) {
        new (&slots_[len_].value) V(std::move(value));
        keys_[len_] = key;
        ++len_;
    }

    const K& key_at(size_t i) const noexcept { return keys_[i]; }
    V& value_at(size_t i) noexcept { return slots_[i].value; }
    const V& value_at(size_t i) const noexcept { return slots_[i].value; }

private:
    union Slot {
        V value;
        Slot() noexcept {}
        ~Slot() {}
    };

    void destroy_all() noexcept {
        size_t n = len_;
        len_ = 0;
        for (size_t i = 0; i < n; ++i) slots_[i].value.~V();
    }

    // The count and keys come first so that a lookup of one of the first
    // attributes reads a single cache line.
    size_t len_ = 0;
    K keys_[CAPACITY];  // slots at and beyond len_ are uninitialised
    Slot slots_[CAPACITY];
};

// Hash map in insertion order: pairs live densely in a vector and an
// open-addressing bucket array (linear probing, at most 7/8 full) holds their
// positions. Without removal, no tombstones are needed.
template <class K, class V>
class FxIndexedMap {
public:
    static constexpr size_t INITIAL_BUCKETS = 32;

    explicit FxIndexedMap(size_t buckets = INITIAL_BUCKETS) : buckets_(round_up(buckets), EMPTY) {}

    size_t len() const noexcept { return entries_.size(); }
    void reserve(size_t n) {
        entries_.reserve(n);
        while (over_load(n)) rehash(buckets_.size() * 2);
    }

    const V* get(const K& key) const noexcept {
        uint32_t at = find(key);
        return at == EMPTY ? nullptr : &entries_[at].second;
    }
    V* get(const K& key) noexcept { return const_cast<V*>(std::as_const(*this).get(key)); }

    // Adds a pair whose key is not present.
    void insert_new(const K& key, V&& value) {
        if (over_load(entries_.size() + 1)) rehash(buckets_.size() * 2);
        entries_.emplace_back(key, std::move(value));
        uint32_t at = static_cast<uint32_t>(entries_.size() - 1);
        buckets_[free_bucket(key)] = at;
    }

    template <class F>
    void for_each(F&& f) const {
        for (const auto& [k, v] : entries_) f(k, v);
    }
    template <class F>
    void for_each(F&& f) {
        for (auto& [k, v] : entries_) f(static_cast<const K&>(k), v);
    }

    size_t bucket_count() const noexcept { return buckets_.size(); }

private:
    static constexpr uint32_t EMPTY = UINT32_MAX;

    static size_t round_up(size_t n) {
        size_t b = 1;
        while (b < n) b *= 2;
        return b;
    }
    bool over_load(size_t entries) const noexcept { return entries * 8 > buckets_.size() * 7; }

    uint32_t find(const K& key) const noexcept {
        if (buckets_.empty()) return EMPTY;  // moved-from
        size_t mask = buckets_.size() - 1;
        for (size_t b = hybrid_key_hash(key) & mask;; b = (b + 1) & mask) {
            uint32_t at = buckets_[b];
            if (at == EMPTY || entries_[at].first == key) return at;
        }
    }
    size_t free_bucket(const K& key) const noexcept {
        size_t mask = buckets_.size() - 1;
        size_t b = hybrid_key_hash(key) & mask;
        while (buckets_[b] != EMPTY) b = (b + 1) & mask;
        return b;
    }
    void rehash(size_t n) {
        std::vector<uint32_t> fresh(n, EMPTY);
        buckets_.swap(fresh);
        for (uint32_t at = 0; at < entries_.size(); ++at) buckets_[free_bucket(entries_[at].first)] = at;
    }

    std::vector<uint32_t> buckets_;  // positions in entries_ or EMPTY; size a power of two
    std::vector<std::pair<K, V>> entries_;
};

template <class K, class V>
class HybridHashmap {
public:
    using Small = SmallKVMap<K, V>;
    using Map = FxIndexedMap<K, V>;

    HybridHashmap() noexcept = default;
    HybridHashmap(HybridHashmap&& o) noexcept(std::is_nothrow_move_constructible_v<V>)
        : map_(std::move(o.map_)), small_(std::move(o.small_)) {}
    HybridHashmap& operator=(HybridHashmap&& o) noexcept(std::is_nothrow_move_constructible_v<V>) {
        if (this != &o) {
            HybridHashmap dropped(std::move(*this));
            map_ = std::move(o.map_);
            small_ = std::move(o.small_);
        }
        return *this;
    }
    HybridHashmap(const HybridHashmap&) = delete;
    HybridHashmap& operator=(const HybridHashmap&) = delete;

    const V* get(const K& key) const noexcept { return map_ ? map_->get(key) : small_.get(key); }
    V* get(const K& key) noexcept { return map_ ? map_->get(key) : small_.get(key); }
    bool contains(const K& key) const noexcept { return get(key) != nullptr; }

    // Replaces the value of key in place (the old one is released) or adds
    // the pair.
    void insert(K key, V value) { exchange(key, std::move(value)); }

    // As insert, but hands the previous value of key (if any) to the caller,
    // who may then release it outside the map's lock.
    std::optional<V> exchange(K key, V value) {
        if (V* slot = get(key)) {
            std::optional<V> old(std::move(*slot));
            if constexpr (std::is_move_assignable_v<V>) {
                *slot = std::move(value);
            } else {
                slot->~V();
                new (slot) V(std::move(value));
            }
            return old;
        }
        if (map_) {
            map_->insert_new(key, std::move(value));
            return std::nullopt;
        }
        if (!small_.full()) {
            small_.push(key, std::move(value));
            return std::nullopt;
        }
        auto map = std::make_unique<Map>();
        map->reserve(Small::CAPACITY + 1);
        for (size_t i = 0; i < Small::CAPACITY; ++i) map->insert_new(small_.key_at(i), std::move(small_.value_at(i)));
        map->insert_new(key, std::move(value));
        map_ = std::move(map);
        small_ = Small();  // releases the moved-from inline values
        return std::nullopt;
    }

    size_t len() const noexcept { return map_ ? map_->len() : small_.len(); }
    bool empty() const noexcept { return len() == 0; }
    bool is_small() const noexcept { return !map_; }

    // f(const K&, const V&) for every pair: insertion order in both forms.
    template <class F>
    void for_each(F&& f) const {
        if (map_) {
            std::as_const(*map_).for_each(f);
        } else {
            for (size_t i = 0; i < small_.len(); ++i) f(small_.key_at(i), small_.value_at(i));
        }
    }
    // f(const K&, V&): the same pairs, values modifiable.
    template <class F>
    void for_each(F&& f) {
        if (map_) {
            map_->for_each(f);
        } else {
            for (size_t i = 0; i < small_.len(); ++i) f(small_.key_at(i), small_.value_at(i));
        }
    }

    // Drops every pair, leaving an empty inline map. The values are destroyed
    // after the map is already empty.
    void clear() noexcept {
        HybridHashmap dropped(std::move(*this));
    }

private:
    // Set once the pairs outgrow the inline slots, which are then empty.
    // First, so that the check and the inline keys share a cache line.
    std::unique_ptr<Map> map_;
    Small small_;
};

}  // namespace tarnwick

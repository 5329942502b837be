// The attribute map of an object: attribute-name id -> value.
//
// Most objects carry a handful of attributes, and an object is often made
// with none. So the map starts empty (no allocation), keeps up to eight pairs
// in one heap block sized to what it holds (room for 1, 2, 4, 6, then 8
// pairs; keys packed first, values after them) scanned linearly, and becomes
// a hash map at the ninth distinct key. It never turns back into the small
// form. Attributes cannot be deleted: a pair goes only when an assignment that
// added it is undone (take), and clear() exists solely to break reference
// cycles.
//
// Values may have non-trivial destructors (they hold Python references). Old
// values are moved out and destroyed only after the map is consistent again,
// so a destructor that reaches back into this map sees a valid map. Callers
// hold the map's mutex for every operation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
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

// Up to eight pairs in insertion order in one heap block: `capacity` keys,
// then `capacity` values. Slots are never removed. Not a complete container:
// HybridHashmap owns the block and says how large it is.
template <class K, class V>
struct SmallKVBlock {
    static constexpr uint32_t MAX_CAPACITY = 8;
    static_assert(alignof(V) <= __STDCPP_DEFAULT_NEW_ALIGNMENT__);
    static_assert(std::is_nothrow_move_constructible_v<V>, "growing moves values and must not fail half way");

    static constexpr size_t values_at(uint32_t capacity) noexcept {
        return (capacity * sizeof(K) + alignof(V) - 1) / alignof(V) * alignof(V);
    }
    static constexpr size_t bytes(uint32_t capacity) noexcept { return values_at(capacity) + capacity * sizeof(V); }
    // The capacity after `capacity` when one more pair must fit.
    static constexpr uint32_t grown(uint32_t capacity) noexcept {
        return capacity < 2 ? capacity + 1 : capacity < 4 ? 4 : capacity + 2;
    }

    static K* keys(void* block) noexcept { return static_cast<K*>(block); }
    static const K* keys(const void* block) noexcept { return static_cast<const K*>(block); }
    static V* values(void* block, uint32_t capacity) noexcept {
        return std::launder(reinterpret_cast<V*>(static_cast<char*>(block) + values_at(capacity)));
    }
    static const V* values(const void* block, uint32_t capacity) noexcept {
        return std::launder(reinterpret_cast<const V*>(static_cast<const char*>(block) + values_at(capacity)));
    }
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

    // Takes the pair of key out, keeping the others in insertion order, and
    // hands back its value. Linear in the pairs: only undoing uses it.
    std::optional<V> take(const K& key) {
        const uint32_t at = find(key);
        if (at == EMPTY) return std::nullopt;
        std::optional<V> out(std::move(entries_[at].second));
        entries_.erase(entries_.begin() + at);
        rehash(buckets_.size());
        return out;
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
    using Block = SmallKVBlock<K, V>;
    using Map = FxIndexedMap<K, V>;
    static constexpr uint32_t SMALL_CAPACITY = Block::MAX_CAPACITY;

    HybridHashmap() noexcept = default;
    HybridHashmap(HybridHashmap&& o) noexcept
        : data_(std::exchange(o.data_, nullptr)), len_(std::exchange(o.len_, 0)), cap_(std::exchange(o.cap_, 0)) {}
    HybridHashmap& operator=(HybridHashmap&& o) noexcept {
        if (this != &o) {
            HybridHashmap dropped(std::move(*this));
            data_ = std::exchange(o.data_, nullptr);
            len_ = std::exchange(o.len_, 0);
            cap_ = std::exchange(o.cap_, 0);
        }
        return *this;
    }
    HybridHashmap(const HybridHashmap&) = delete;
    HybridHashmap& operator=(const HybridHashmap&) = delete;
    ~HybridHashmap() { release(data_, len_, cap_); }

    const V* get(const K& key) const noexcept {
        if (is_map()) return map()->get(key);
        const K* keys = Block::keys(data_);
        for (uint32_t i = 0; i < len_; ++i) {
            if (keys[i] == key) return Block::values(data_, cap_) + i;
        }
        return nullptr;
    }
    V* get(const K& key) noexcept { return const_cast<V*>(std::as_const(*this).get(key)); }
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
        if (is_map()) {
            map()->insert_new(key, std::move(value));
            return std::nullopt;
        }
        if (len_ == cap_) {
            if (cap_ == SMALL_CAPACITY) {
                to_map(key, std::move(value));
                return std::nullopt;
            }
            grow(Block::grown(cap_));
        }
        new (Block::values(data_, cap_) + len_) V(std::move(value));
        Block::keys(data_)[len_] = key;
        ++len_;
        return std::nullopt;
    }

    // Takes the pair of key out (the others keep their order) and hands its
    // value to the caller, who may release it outside the map's lock.
    std::optional<V> take(const K& key) {
        if (is_map()) return map()->take(key);
        K* keys = Block::keys(data_);
        V* values = Block::values(data_, cap_);
        uint32_t i = 0;
        while (i < len_ && keys[i] != key) ++i;
        if (i == len_) return std::nullopt;
        std::optional<V> out(std::move(values[i]));
        for (; i + 1 < len_; ++i) {
            keys[i] = keys[i + 1];
            values[i].~V();
            new (values + i) V(std::move(values[i + 1]));
        }
        values[len_ - 1].~V();
        --len_;
        return out;
    }

    size_t len() const noexcept { return is_map() ? map()->len() : len_; }
    bool empty() const noexcept { return len() == 0; }
    bool is_small() const noexcept { return !is_map(); }
    // Pairs the small form has room for (0 before the first); 0 in the hash form.
    size_t small_capacity() const noexcept { return is_map() ? 0 : cap_; }

    // f(const K&, const V&) for every pair: insertion order in both forms.
    template <class F>
    void for_each(F&& f) const {
        if (is_map()) {
            std::as_const(*map()).for_each(f);
        } else {
            const K* keys = Block::keys(data_);
            const V* values = Block::values(data_, cap_);
            for (uint32_t i = 0; i < len_; ++i) f(keys[i], values[i]);
        }
    }
    // f(const K&, V&): the same pairs, values modifiable.
    template <class F>
    void for_each(F&& f) {
        if (is_map()) {
            map()->for_each(f);
        } else {
            const K* keys = Block::keys(data_);
            V* values = Block::values(data_, cap_);
            for (uint32_t i = 0; i < len_; ++i) f(keys[i], values[i]);
        }
    }

    // Drops every pair, leaving an empty map. The values are destroyed after
    // the map is already empty.
    void clear() noexcept { HybridHashmap dropped(std::move(*this)); }

private:
    // cap_ of the hash form, where data_ is a Map.
    static constexpr uint32_t MAP_FORM = UINT32_MAX;

    bool is_map() const noexcept { return cap_ == MAP_FORM; }
    Map* map() const noexcept { return static_cast<Map*>(data_); }

    static void release(void* data, uint32_t len, uint32_t cap) noexcept {
        if (!data) return;
        if (cap == MAP_FORM) {
            delete static_cast<Map*>(data);
            return;
        }
        V* values = Block::values(data, cap);
        for (uint32_t i = 0; i < len; ++i) values[i].~V();
        ::operator delete(data);
    }

    // Moves the pairs into a block with room for `capacity`; the moved-from
    // values of the old block are destroyed once the map uses the new one.
    void grow(uint32_t capacity) {
        void* fresh = ::operator new(Block::bytes(capacity));
        if (len_ > 0) {
            std::memcpy(Block::keys(fresh), Block::keys(data_), len_ * sizeof(K));
            V* from = Block::values(data_, cap_);
            V* to = reinterpret_cast<V*>(static_cast<char*>(fresh) + Block::values_at(capacity));
            for (uint32_t i = 0; i < len_; ++i) new (to + i) V(std::move(from[i]));
        }
        void* old = std::exchange(data_, fresh);
        const uint32_t old_cap = std::exchange(cap_, capacity);
        release(old, len_, old_cap);
    }

    void to_map(K key, V&& value) {
        auto fresh = std::make_unique<Map>();
        fresh->reserve(SMALL_CAPACITY + 1);
        const K* keys = Block::keys(data_);
        V* values = Block::values(data_, cap_);
        for (uint32_t i = 0; i < len_; ++i) fresh->insert_new(keys[i], std::move(values[i]));
        fresh->insert_new(key, std::move(value));
        void* old = std::exchange(data_, fresh.release());
        const uint32_t old_len = std::exchange(len_, 0);
        const uint32_t old_cap = std::exchange(cap_, MAP_FORM);
        release(old, old_len, old_cap);
    }

    // The small block (cap_ pairs of room, len_ used), the hash map
    // (cap_ == MAP_FORM), or nothing yet.
    void* data_ = nullptr;
    uint32_t len_ = 0;
    uint32_t cap_ = 0;
};

}  // namespace tarnwick

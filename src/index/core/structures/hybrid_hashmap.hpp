// The attribute map of an object: attribute-name id -> value.
//
// Most objects carry a handful of attributes, and an object is often made
// with none. So the map starts empty (no allocation), keeps up to eight pairs
// in one heap block sized to what it holds (room for 1, 2, 4, 6, then 8
// pairs; the block's own length and room first, keys packed after them,
// values last) scanned linearly, and becomes a hash map at the ninth distinct
// key. It never turns back into the small form. Attributes cannot be deleted:
// a pair goes only when an assignment that added it is undone (take), and
// clear() exists solely to break reference cycles.
//
// The whole map is one word (raw()): null, the block, or the hash map tagged
// in its low bit. A reader that keeps a copy of that word next to its object
// can look a key up with find_in(raw) without touching the map itself; it
// must take the word again after every write, since a write may move the
// pairs into a new block.
//
// Values may have non-trivial destructors (they hold Python references). Old
// values are moved out and destroyed only after the map is consistent again,
// so a destructor that reaches back into this map sees a valid map. Callers
// hold the map's mutex for every operation.
#pragma once

#include <algorithm>
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

// Up to eight pairs in insertion order in one heap block: a header with
// the pairs used and the room, `capacity` keys, then `capacity` values. Slots
// are never removed. Not a complete container: HybridHashmap owns the block.
template <class K, class V>
struct SmallKVBlock {
    static constexpr uint32_t MAX_CAPACITY = 8;
    static_assert(alignof(V) <= __STDCPP_DEFAULT_NEW_ALIGNMENT__);
    static_assert(std::is_nothrow_move_constructible_v<V>, "growing moves values and must not fail half way");

    struct Header {
        uint32_t len;
        uint32_t capacity;
    };
    static constexpr size_t KEYS_AT = (sizeof(Header) + alignof(K) - 1) / alignof(K) * alignof(K);

    static constexpr size_t values_at(uint32_t capacity) noexcept {
        return (KEYS_AT + capacity * sizeof(K) + alignof(V) - 1) / alignof(V) * alignof(V);
    }
    static constexpr size_t bytes(uint32_t capacity) noexcept { return values_at(capacity) + capacity * sizeof(V); }
    // The capacity after `capacity` when one more pair must fit (past
    // MAX_CAPACITY for 7: a block sized to a hint may hold that).
    static constexpr uint32_t grown(uint32_t capacity) noexcept {
        return capacity < 2 ? capacity + 1 : capacity < 4 ? 4 : capacity + 2;
    }

    static Header* header(void* block) noexcept { return static_cast<Header*>(block); }
    static const Header* header(const void* block) noexcept { return static_cast<const Header*>(block); }
    static K* keys(void* block) noexcept { return reinterpret_cast<K*>(static_cast<char*>(block) + KEYS_AT); }
    static const K* keys(const void* block) noexcept {
        return reinterpret_cast<const K*>(static_cast<const char*>(block) + KEYS_AT);
    }
    static V* values(void* block) noexcept {
        return std::launder(reinterpret_cast<V*>(static_cast<char*>(block) + values_at(header(block)->capacity)));
    }
    static const V* values(const void* block) noexcept {
        return std::launder(
            reinterpret_cast<const V*>(static_cast<const char*>(block) + values_at(header(block)->capacity)));
    }
    static const V* find(const void* block, const K& key) noexcept {
        const uint32_t len = header(block)->len;
        const K* ks = keys(block);
        for (uint32_t i = 0; i < len; ++i) {
            if (ks[i] == key) return values(block) + i;
        }
        return nullptr;
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
    static_assert(alignof(Map) >= 2, "the hash form is told apart by the low bit of its address");

    HybridHashmap() noexcept = default;
    HybridHashmap(HybridHashmap&& o) noexcept : data_(std::exchange(o.data_, nullptr)) {}
    HybridHashmap& operator=(HybridHashmap&& o) noexcept {
        if (this != &o) {
            HybridHashmap dropped(std::move(*this));
            data_ = std::exchange(o.data_, nullptr);
        }
        return *this;
    }
    HybridHashmap(const HybridHashmap&) = delete;
    HybridHashmap& operator=(const HybridHashmap&) = delete;
    ~HybridHashmap() { release(data_); }

    // The map as one word, for find_in; it changes with every write.
    const void* raw() const noexcept { return data_; }
    // The value of key in the map whose word is raw (as get).
    static const V* find_in(const void* raw, const K& key) noexcept {
        if (!raw) return nullptr;
        if (is_map(raw)) return map_of(raw)->get(key);
        return Block::find(raw, key);
    }

    const V* get(const K& key) const noexcept { return find_in(data_, key); }
    V* get(const K& key) noexcept { return const_cast<V*>(std::as_const(*this).get(key)); }
    bool contains(const K& key) const noexcept { return get(key) != nullptr; }

    // Replaces the value of key in place (the old one is released) or adds
    // the pair.
    void insert(K key, V value) { exchange(key, std::move(value)); }

    // As insert, but hands the previous value of key (if any) to the caller,
    // who may then release it outside the map's lock. If a new pair needs a
    // bigger small block, it gets room for `room` pairs (at most the small
    // form's) when that is more than the usual next step: a caller that
    // expects that many pairs spares the steps between, and the block fits
    // them exactly.
    std::optional<V> exchange(K key, V value, uint32_t room = 0) {
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
        if (data_ && is_map(data_)) {
            map_of(data_)->insert_new(key, std::move(value));
            return std::nullopt;
        }
        const uint32_t len = data_ ? Block::header(data_)->len : 0;
        const uint32_t cap = data_ ? Block::header(data_)->capacity : 0;
        if (len == cap) {
            if (cap == SMALL_CAPACITY) {
                to_map(key, std::move(value));
                return std::nullopt;
            }
            const uint32_t step = std::min(Block::grown(cap), SMALL_CAPACITY);
            grow(std::max(step, std::min(room, SMALL_CAPACITY)));
        }
        new (Block::values(data_) + len) V(std::move(value));
        Block::keys(data_)[len] = key;
        Block::header(data_)->len = len + 1;
        return std::nullopt;
    }

    // Takes the pair of key out (the others keep their order) and hands its
    // value to the caller, who may release it outside the map's lock.
    std::optional<V> take(const K& key) {
        if (!data_) return std::nullopt;
        if (is_map(data_)) return map_of(data_)->take(key);
        K* keys = Block::keys(data_);
        V* values = Block::values(data_);
        const uint32_t len = Block::header(data_)->len;
        uint32_t i = 0;
        while (i < len && keys[i] != key) ++i;
        if (i == len) return std::nullopt;
        std::optional<V> out(std::move(values[i]));
        for (; i + 1 < len; ++i) {
            keys[i] = keys[i + 1];
            values[i].~V();
            new (values + i) V(std::move(values[i + 1]));
        }
        values[len - 1].~V();
        Block::header(data_)->len = len - 1;
        return out;
    }

    size_t len() const noexcept {
        if (!data_) return 0;
        return is_map(data_) ? map_of(data_)->len() : Block::header(data_)->len;
    }
    bool empty() const noexcept { return len() == 0; }
    bool is_small() const noexcept { return !data_ || !is_map(data_); }
    // Pairs the small form has room for (0 before the first); 0 in the hash form.
    size_t small_capacity() const noexcept { return is_small() && data_ ? Block::header(data_)->capacity : 0; }

    // f(const K&, const V&) for every pair: insertion order in both forms.
    template <class F>
    void for_each(F&& f) const {
        if (!data_) return;
        if (is_map(data_)) {
            std::as_const(*map_of(data_)).for_each(f);
        } else {
            const K* keys = Block::keys(data_);
            const V* values = Block::values(data_);
            const uint32_t len = Block::header(data_)->len;
            for (uint32_t i = 0; i < len; ++i) f(keys[i], values[i]);
        }
    }
    // f(const K&, const V&) for every pair of the map whose word is raw (as
    // for_each, for a reader holding only the word).
    template <class F>
    static void for_each_in(const void* raw, F&& f) {
        if (!raw) return;
        if (is_map(raw)) {
            std::as_const(*map_of(raw)).for_each(f);
            return;
        }
        const K* keys = Block::keys(raw);
        const V* values = Block::values(raw);
        const uint32_t len = Block::header(raw)->len;
        for (uint32_t i = 0; i < len; ++i) f(keys[i], values[i]);
    }
    // f(const K&, V&): the same pairs, values modifiable.
    template <class F>
    void for_each(F&& f) {
        if (!data_) return;
        if (is_map(data_)) {
            map_of(data_)->for_each(f);
        } else {
            const K* keys = Block::keys(data_);
            V* values = Block::values(data_);
            const uint32_t len = Block::header(data_)->len;
            for (uint32_t i = 0; i < len; ++i) f(keys[i], values[i]);
        }
    }

    // Drops every pair, leaving an empty map. The values are destroyed after
    // the map is already empty.
    void clear() noexcept { HybridHashmap dropped(std::move(*this)); }

private:
    static constexpr uintptr_t MAP_TAG = 1;

    static bool is_map(const void* raw) noexcept { return reinterpret_cast<uintptr_t>(raw) & MAP_TAG; }
    static Map* map_of(const void* raw) noexcept {
        return reinterpret_cast<Map*>(reinterpret_cast<uintptr_t>(raw) & ~MAP_TAG);
    }

    static void release(void* data) noexcept {
        if (!data) return;
        if (is_map(data)) {
            delete map_of(data);
            return;
        }
        V* values = Block::values(data);
        const uint32_t len = Block::header(data)->len;
        for (uint32_t i = 0; i < len; ++i) values[i].~V();
        ::operator delete(data);
    }

    // Moves the pairs into a block with room for `capacity`; the moved-from
    // values of the old block are destroyed once the map uses the new one.
    void grow(uint32_t capacity) {
        void* fresh = ::operator new(Block::bytes(capacity));
        const uint32_t len = data_ ? Block::header(data_)->len : 0;
        *Block::header(fresh) = typename Block::Header{len, capacity};
        if (len > 0) {
            std::memcpy(Block::keys(fresh), Block::keys(data_), len * sizeof(K));
            V* from = Block::values(data_);
            V* to = Block::values(fresh);
            for (uint32_t i = 0; i < len; ++i) new (to + i) V(std::move(from[i]));
        }
        release(std::exchange(data_, fresh));
    }

    void to_map(K key, V&& value) {
        auto fresh = std::make_unique<Map>();
        fresh->reserve(SMALL_CAPACITY + 1);
        const K* keys = Block::keys(data_);
        V* values = Block::values(data_);
        const uint32_t len = Block::header(data_)->len;
        for (uint32_t i = 0; i < len; ++i) fresh->insert_new(keys[i], std::move(values[i]));
        fresh->insert_new(key, std::move(value));
        void* tagged = reinterpret_cast<void*>(reinterpret_cast<uintptr_t>(fresh.release()) | MAP_TAG);
        release(std::exchange(data_, tagged));
    }

    // Null, the small block, or the hash map with MAP_TAG set.
    void* data_ = nullptr;
};

}  // namespace tarnwick

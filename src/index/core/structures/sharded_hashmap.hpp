// A hash map split into independently reader-writer-locked shards, so that
// writers of different keys do not serialise on one lock.
//
// The shard of a key is chosen from the 64-bit hash the key carries with it
// (K::stored_hash()), which is computed once when the key is built; choosing
// a shard therefore never calls back into the key's own hashing. Callers hold
// at most one shard at a time.
#pragma once

#include <cstddef>
#include <concepts>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <unordered_map>

#include "index/core/structures/sync.hpp"

namespace tarnwick {

// Fx hash of the stored hash's two 32-bit words; the low bits pick the shard.
uint32_t shard_hash(uint64_t stored_hash) noexcept;

template <class K>
concept StoredHashKey = requires(const K& k) {
    { k.stored_hash() } -> std::convertible_to<uint64_t>;
    { k == k } -> std::convertible_to<bool>;
};

template <StoredHashKey K, class V>
class ShardedHashMap {
public:
    struct KeyHash {
        size_t operator()(const K& k) const noexcept { return static_cast<size_t>(k.stored_hash()); }
    };
    using Map = std::unordered_map<K, V, KeyHash>;

    struct Shard {
        // Guards map.
        mutable RwLock lock;
        Map map;
    };

    // A shard held for writing; the lock is released when this goes away.
    class WriteAccess {
    public:
        explicit WriteAccess(Shard& s) : guard_(s.lock), map_(&s.map) {}
        // For callers that took the lock themselves (e.g. without blocking
        // while holding the GIL).
        WriteAccess(Shard& s, std::adopt_lock_t) : guard_(s.lock, std::adopt_lock), map_(&s.map) {}
        Map& map() const noexcept { return *map_; }
        Map& operator*() const noexcept { return *map_; }
        Map* operator->() const noexcept { return map_; }

    private:
        WriteGuard guard_;
        Map* map_;
    };

    // A shard held for reading.
    class ReadAccess {
    public:
        explicit ReadAccess(const Shard& s) : guard_(s.lock), map_(&s.map) {}
        ReadAccess(const Shard& s, std::adopt_lock_t) : guard_(s.lock, std::adopt_lock), map_(&s.map) {}
        const Map& map() const noexcept { return *map_; }
        const Map& operator*() const noexcept { return *map_; }
        const Map* operator->() const noexcept { return map_; }

    private:
        ReadGuard guard_;
        const Map* map_;
    };

    static constexpr uint32_t default_shard_count = 16;

    ShardedHashMap() : ShardedHashMap(default_shard_count) {}
    // shard_count must be a power of two.
    explicit ShardedHashMap(uint32_t shard_count)
        : shards_(make_shards(shard_count)), shard_mask_(shard_count - 1) {}
    static ShardedHashMap with_shard_count(uint32_t shard_count) { return ShardedHashMap(shard_count); }

    // A moved-from map owns no shards and may only be assigned or destroyed.
    ShardedHashMap(ShardedHashMap&&) noexcept = default;
    ShardedHashMap& operator=(ShardedHashMap&&) noexcept = default;
    ShardedHashMap(const ShardedHashMap&) = delete;
    ShardedHashMap& operator=(const ShardedHashMap&) = delete;

    uint32_t shard_count() const noexcept { return shard_mask_ + 1; }
    uint32_t shard_mask() const noexcept { return shard_mask_; }
    uint32_t shard_index(const K& key) const noexcept { return shard_hash(key.stored_hash()) & shard_mask_; }

    // Unlocked access to a shard; the caller locks shard.lock itself.
    Shard& shard_for(const K& key) noexcept { return shards_[shard_index(key)]; }
    const Shard& shard_for(const K& key) const noexcept { return shards_[shard_index(key)]; }
    Shard& shard_at(uint32_t i) noexcept { return shards_[i]; }
    const Shard& shard_at(uint32_t i) const noexcept { return shards_[i]; }

    WriteAccess get_shard(const K& key) { return WriteAccess(shard_for(key)); }
    ReadAccess read_shard(const K& key) const { return ReadAccess(shard_for(key)); }

    // A copy of the value taken under the shard's read lock, so the caller
    // works on a snapshot.
    std::optional<V> get(const K& key) const {
        ReadAccess shard = read_shard(key);
        auto it = shard->find(key);
        if (it == shard->end()) return std::nullopt;
        return it->second;
    }

    // fn(Map&) for every shard in turn, each under its write lock.
    template <class F>
    void for_each_shard_write(F&& fn) {
        for (uint32_t i = 0; i < shard_count(); ++i) {
            WriteAccess shard(shards_[i]);
            fn(shard.map());
        }
    }

    // fn(const Map&) for every shard in turn, each under its read lock.
    template <class F>
    void for_each_shard_read(F&& fn) const {
        for (uint32_t i = 0; i < shard_count(); ++i) {
            ReadAccess shard(shards_[i]);
            fn(shard.map());
        }
    }

    // Number of entries; shards are counted one after the other, so the
    // total is exact only while no writer runs.
    size_t size() const {
        size_t n = 0;
        for_each_shard_read([&n](const Map& m) { n += m.size(); });
        return n;
    }

private:
    static std::unique_ptr<Shard[]> make_shards(uint32_t shard_count) {
        if (shard_count == 0 || (shard_count & (shard_count - 1)) != 0)
            throw std::invalid_argument("shard count must be a power of two");
        return std::make_unique<Shard[]>(shard_count);
    }

    std::unique_ptr<Shard[]> shards_;
    uint32_t shard_mask_;
};

}  // namespace tarnwick

// A many-to-many relation between 32-bit ids: the links from holder objects
// (left) to the nested objects they hold (right).
//
// Both directions are kept exactly, so every answer names only ids actually
// paired, and removing one pair never disturbs another. An id with no pairs
// left has no entry. There is no locking here: the owner guards the whole
// relation with its own lock.
//
// Most nested objects have a single holder, and nested queries map every hit
// back to its holders: a right with one left keeps it in a table indexed by
// id, which those lookups (in ascending id order) read nearly sequentially;
// only rights with several lefts keep a set. Most holders hold one nested
// object in a given attribute, so a left with one right is kept the same
// way (about 4 bytes a holder instead of a hash slot with a set in it).
// Sets start inline and become bitmaps only when they grow.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <vector>

#include "index/core/structures/bitmap.hpp"
#include "index/core/structures/flat_id_map.hpp"
#include "index/core/structures/hybrid_set.hpp"
#include "index/core/structures/id_map.hpp"

namespace tarnwick {

class M2MU32 {
public:
    M2MU32() = default;
    M2MU32(M2MU32&&) noexcept = default;
    M2MU32& operator=(M2MU32&&) noexcept = default;
    M2MU32(const M2MU32&) = delete;
    M2MU32& operator=(const M2MU32&) = delete;

    M2MU32 clone() const;

    // Returns whether the pair is new.
    bool add(uint32_t left, uint32_t right);
    // Removes exactly this pair; returns whether it was present.
    bool remove(uint32_t left, uint32_t right);
    bool contains(uint32_t left, uint32_t right) const;

    Bitmap lefts_of(uint32_t right) const;
    Bitmap rights_of(uint32_t left) const;
    // Unions over every id of the argument.
    Bitmap lefts_of_many(const Bitmap& rights) const;
    Bitmap rights_of_many(const Bitmap& lefts) const;
    // Number of lefts paired with right.
    uint64_t left_count(uint32_t right) const;

    bool has_right(uint32_t right) const { return sole_left_.contains(right) || by_right_.contains(right); }
    bool has_left(uint32_t left) const { return sole_right_.contains(left) || by_left_.contains(left); }
    // Every id that appears on that side of some pair.
    Bitmap lefts() const;
    Bitmap rights() const;

    uint64_t pair_count() const noexcept { return pairs_; }
    bool empty() const noexcept { return pairs_ == 0; }
    void clear() noexcept;

    // Adds every pair of other.
    void merge_from(const M2MU32& other);
    // Drops every pair whose left is not in keep.
    void retain_lefts(const Bitmap& keep);

    // fn(left, right) for every pair, by ascending left, then ascending right.
    template <class F>
    void for_each_pair(F&& fn) const {
        std::vector<uint32_t> keys;
        keys.reserve(by_left_.size() + sole_right_.size());
        by_left_.for_each([&](uint32_t left, const HybridSet&) { keys.push_back(left); });
        sole_right_.for_each([&](uint32_t left, uint32_t) { keys.push_back(left); });
        std::sort(keys.begin(), keys.end());
        for (uint32_t left : keys) {
            if (const std::optional<uint32_t> sole = sole_right_.get(left)) {
                fn(left, *sole);
                continue;
            }
            by_left_.find(left)->for_each([&fn, left](uint32_t right) { fn(left, right); });
        }
    }

private:
    using Side = FlatIdMap<HybridSet>;

    static Bitmap related(const Side& side, uint32_t id);
    static Bitmap keys_of(const Side& side, const IdMap& sole);
    // Adds `value` to the relation of `key` on one side (its sole entry, or
    // its set once it has two); unchanged if that fails to allocate.
    static void link(Side& side, IdMap& sole, uint32_t key, uint32_t value);
    // Removes `value` from the relation of `key` on one side, going back to
    // a sole entry when one value is left and to none when none is.
    static void unlink(Side& side, IdMap& sole, uint32_t key, uint32_t value);
    // The related ids of every id of `ids` on one side.
    static Bitmap related_many(const Side& side, const IdMap& sole, const Bitmap& ids);

    Side by_left_;      // left -> its rights, for lefts with several
    IdMap sole_right_;  // left -> its right, for lefts with exactly one
    IdMap sole_left_;   // right -> its left, for rights with exactly one
    Side by_right_;     // right -> its lefts, for rights with several
    uint64_t pairs_ = 0;
};

}  // namespace tarnwick

#include "index/core/structures/m2m.hpp"

#include <utility>

namespace tarnwick {

M2MU32 M2MU32::clone() const {
    M2MU32 c;
    c.by_left_ = by_left_;
    c.sole_right_ = sole_right_;
    c.sole_left_ = sole_left_;
    c.by_right_ = by_right_;
    c.pairs_ = pairs_;
    return c;
}

bool M2MU32::add(uint32_t left, uint32_t right) {
    if (contains(left, right)) return false;
    // Each link either happens or leaves its side as it was; the first is
    // undone if the second fails, so the two directions keep agreeing.
    link(by_left_, sole_right_, left, right);
    try {
        link(by_right_, sole_left_, right, left);
    } catch (...) {
        unlink(by_left_, sole_right_, left, right);
        throw;
    }
    ++pairs_;
    return true;
}

void M2MU32::link(Side& side, IdMap& sole, uint32_t key, uint32_t value) {
    if (HybridSet* multi = side.find(key)) {
        multi->add(value);
        return;
    }
    const std::optional<uint32_t> only = sole.get(key);
    if (!only) {
        sole.set(key, value);
        return;
    }
    HybridSet both = HybridSet::with_id(*only);
    both.add(value);
    *side.try_emplace(key).first = std::move(both);
    sole.erase(key);
}

void M2MU32::unlink(Side& side, IdMap& sole, uint32_t key, uint32_t value) {
    HybridSet* multi = side.find(key);
    if (!multi) {
        if (sole.get(key) == value) sole.erase(key);
        return;
    }
    multi->remove(value);
    if (multi->size() > 1) return;
    if (!multi->empty()) multi->for_each([&](uint32_t last) { sole.set(key, last); });
    side.erase(key);
}

bool M2MU32::remove(uint32_t left, uint32_t right) {
    if (!contains(left, right)) return false;
    unlink(by_left_, sole_right_, left, right);
    unlink(by_right_, sole_left_, right, left);
    --pairs_;
    return true;
}

bool M2MU32::contains(uint32_t left, uint32_t right) const {
    if (const std::optional<uint32_t> sole = sole_right_.get(left)) return *sole == right;
    const HybridSet* rights = by_left_.find(left);
    return rights && rights->contains(right);
}

Bitmap M2MU32::related(const Side& side, uint32_t id) {
    const HybridSet* set = side.find(id);
    return set ? set->to_bitmap() : Bitmap();
}

Bitmap M2MU32::related_many(const Side& side, const IdMap& sole, const Bitmap& ids) {
    const std::vector<uint32_t> keys = ids.to_vector();
    // Single relations are gathered and added in bulk, not one union each.
    std::vector<uint32_t> found;
    found.reserve(keys.size());
    sole.get_many(keys.data(), keys.size(), [&found](uint32_t, uint32_t value) { found.push_back(value); });
    Bitmap out;
    if (!side.empty()) {
        auto take = [&](const HybridSet& rel) {
            if (const Bitmap* large = rel.bitmap()) {
                out |= *large;
            } else {
                rel.for_each([&](uint32_t id) { found.push_back(id); });
            }
        };
        // Walk whichever of the two is smaller; the union is the same.
        if (keys.size() <= side.size()) {
            for (uint32_t key : keys)
                if (const HybridSet* rel = side.find(key)) take(*rel);
        } else {
            side.for_each([&](uint32_t key, const HybridSet& rel) {
                if (ids.contains(key)) take(rel);
            });
        }
    }
    out.add_many(found);
    return out;
}

Bitmap M2MU32::keys_of(const Side& side, const IdMap& sole) {
    std::vector<uint32_t> keys;
    keys.reserve(side.size() + sole.size());
    side.for_each([&](uint32_t id, const HybridSet&) { keys.push_back(id); });
    sole.for_each([&](uint32_t id, uint32_t) { keys.push_back(id); });
    Bitmap out;
    out.add_many(keys);
    return out;
}

Bitmap M2MU32::lefts_of(uint32_t right) const {
    if (const std::optional<uint32_t> sole = sole_left_.get(right)) return Bitmap{*sole};
    return related(by_right_, right);
}

Bitmap M2MU32::rights_of(uint32_t left) const {
    if (const std::optional<uint32_t> sole = sole_right_.get(left)) return Bitmap{*sole};
    return related(by_left_, left);
}

Bitmap M2MU32::lefts_of_many(const Bitmap& rights) const { return related_many(by_right_, sole_left_, rights); }
Bitmap M2MU32::rights_of_many(const Bitmap& lefts) const { return related_many(by_left_, sole_right_, lefts); }
Bitmap M2MU32::lefts() const { return keys_of(by_left_, sole_right_); }
Bitmap M2MU32::rights() const { return keys_of(by_right_, sole_left_); }

uint64_t M2MU32::left_count(uint32_t right) const {
    if (sole_left_.contains(right)) return 1;
    const HybridSet* lefts = by_right_.find(right);
    return lefts ? lefts->size() : 0;
}

void M2MU32::clear() noexcept {
    by_left_.clear();
    sole_right_.clear();
    sole_left_.clear();
    by_right_.clear();
    pairs_ = 0;
}

void M2MU32::merge_from(const M2MU32& other) {
    if (this == &other) return;
    // Pair by pair, so that an allocation failure part way leaves a
    // consistent relation holding some of other's pairs.
    other.for_each_pair([this](uint32_t left, uint32_t right) { add(left, right); });
}

void M2MU32::retain_lefts(const Bitmap& keep) {
    std::vector<std::pair<uint32_t, uint32_t>> dropped;
    sole_right_.for_each([&](uint32_t left, uint32_t right) {
        if (!keep.contains(left)) dropped.emplace_back(left, right);
    });
    by_left_.for_each([&](uint32_t left, const HybridSet& rights) {
        if (!keep.contains(left)) rights.for_each([&](uint32_t right) { dropped.emplace_back(left, right); });
    });
    for (const auto& [left, right] : dropped) remove(left, right);
}

}  // namespace tarnwick

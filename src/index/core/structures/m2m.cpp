#include "index/core/structures/m2m.hpp"

namespace tarnwick {

M2MU32 M2MU32::clone() const {
    M2MU32 c;
    c.by_left_ = by_left_;
    c.sole_left_ = sole_left_;
    c.by_right_ = by_right_;
    c.pairs_ = pairs_;
    return c;
}

bool M2MU32::add(uint32_t left, uint32_t right) {
    if (contains(left, right)) return false;
    // Every step that can fail to allocate is undone by the later ones'
    // failure handling, so the two directions keep agreeing and no id is left
    // with an empty entry.
    const bool left_new = !by_left_.contains(left);
    HybridSet* rights = by_left_.try_emplace(left).first;
    try {
        link_right(right, left);
    } catch (...) {
        if (left_new) by_left_.erase(left);
        throw;
    }
    try {
        rights->add(right);  // link_right leaves by_left_ alone: still valid
    } catch (...) {
        unlink_right(right, left);
        if (left_new) by_left_.erase(left);
        throw;
    }
    ++pairs_;
    return true;
}

void M2MU32::link_right(uint32_t right, uint32_t left) {
    if (HybridSet* multi = by_right_.find(right)) {
        multi->add(left);
        return;
    }
    const std::optional<uint32_t> sole = sole_left_.get(right);
    if (!sole) {
        sole_left_.set(right, left);
        return;
    }
    HybridSet both = HybridSet::with_id(*sole);
    both.add(left);
    *by_right_.try_emplace(right).first = std::move(both);
    sole_left_.erase(right);
}

void M2MU32::unlink_right(uint32_t right, uint32_t left) {
    HybridSet* multi = by_right_.find(right);
    if (!multi) {
        if (sole_left_.get(right) == left) sole_left_.erase(right);
        return;
    }
    multi->remove(left);
    if (multi->size() > 1) return;
    if (!multi->empty()) multi->for_each([&](uint32_t only) { sole_left_.set(right, only); });
    by_right_.erase(right);
}

void M2MU32::unlink(Side& side, uint32_t key, uint32_t value) {
    HybridSet* set = side.find(key);
    if (!set) return;
    set->remove(value);
    if (set->empty()) side.erase(key);
}

bool M2MU32::remove(uint32_t left, uint32_t right) {
    if (!contains(left, right)) return false;
    unlink(by_left_, left, right);
    unlink_right(right, left);
    --pairs_;
    return true;
}

bool M2MU32::contains(uint32_t left, uint32_t right) const {
    const HybridSet* rights = by_left_.find(left);
    return rights && rights->contains(right);
}

Bitmap M2MU32::related(const Side& side, uint32_t id) {
    const HybridSet* set = side.find(id);
    return set ? set->to_bitmap() : Bitmap();
}

Bitmap M2MU32::related_many(const Side& side, const Bitmap& ids) {
    // Sets are small: gather their ids and add them in one go rather than
    // uniting bitmaps one set at a time.
    std::vector<uint32_t> found;
    Bitmap out;
    auto take = [&](const HybridSet& rel) {
        if (const Bitmap* large = rel.bitmap()) {
            out |= *large;
        } else {
            rel.for_each([&](uint32_t id) { found.push_back(id); });
        }
    };
    // Walk whichever of the two is smaller; the union is the same.
    if (ids.cardinality() <= side.size()) {
        ids.for_each([&](uint32_t id) {
            if (const HybridSet* rel = side.find(id)) take(*rel);
        });
    } else {
        side.for_each([&](uint32_t id, const HybridSet& rel) {
            if (ids.contains(id)) take(rel);
        });
    }
    out.add_many(found);
    return out;
}

Bitmap M2MU32::keys_of(const Side& side) {
    std::vector<uint32_t> keys;
    keys.reserve(side.size());
    side.for_each([&](uint32_t id, const HybridSet&) { keys.push_back(id); });
    Bitmap out;
    out.add_many(keys);
    return out;
}

Bitmap M2MU32::lefts_of(uint32_t right) const {
    if (const std::optional<uint32_t> sole = sole_left_.get(right)) return Bitmap{*sole};
    return related(by_right_, right);
}
Bitmap M2MU32::rights_of(uint32_t left) const { return related(by_left_, left); }
Bitmap M2MU32::lefts_of_many(const Bitmap& rights) const {
    const std::vector<uint32_t> ids = rights.to_vector();
    // Single lefts are gathered and added in bulk, not one union each.
    std::vector<uint32_t> sole;
    sole.reserve(ids.size());
    sole_left_.get_many(ids.data(), ids.size(), [&sole](uint32_t, uint32_t left) { sole.push_back(left); });
    Bitmap out;
    out.add_many(sole);
    if (!by_right_.empty()) {
        for (uint32_t right : ids) {
            if (sole_left_.contains(right)) continue;
            if (const HybridSet* lefts = by_right_.find(right)) lefts->union_into(out);
        }
    }
    return out;
}

Bitmap M2MU32::rights_of_many(const Bitmap& lefts) const { return related_many(by_left_, lefts); }
Bitmap M2MU32::lefts() const { return keys_of(by_left_); }
Bitmap M2MU32::rights() const {
    Bitmap out = keys_of(by_right_);
    std::vector<uint32_t> sole;
    sole.reserve(sole_left_.size());
    sole_left_.for_each([&sole](uint32_t right, uint32_t) { sole.push_back(right); });
    out.add_many(sole);
    return out;
}

uint64_t M2MU32::left_count(uint32_t right) const {
    if (sole_left_.contains(right)) return 1;
    const HybridSet* lefts = by_right_.find(right);
    return lefts ? lefts->size() : 0;
}

void M2MU32::clear() noexcept {
    by_left_.clear();
    sole_left_.clear();
    by_right_.clear();
    pairs_ = 0;
}

void M2MU32::merge_from(const M2MU32& other) {
    if (this == &other) return;
    // Pair by pair, so that an allocation failure part way leaves a
    // consistent relation holding some of other's pairs.
    other.by_left_.for_each([this](uint32_t left, const HybridSet& rights) {
        rights.for_each([this, left](uint32_t right) { add(left, right); });
    });
}

void M2MU32::retain_lefts(const Bitmap& keep) {
    std::vector<uint32_t> dropped;
    by_left_.for_each([&](uint32_t left, const HybridSet&) {
        if (!keep.contains(left)) dropped.push_back(left);
    });
    for (uint32_t left : dropped) {
        const HybridSet* rights = by_left_.find(left);
        rights->for_each([this, left](uint32_t right) { unlink_right(right, left); });
        pairs_ -= rights->size();
        by_left_.erase(left);
    }
}

}  // namespace tarnwick

#include "index/core/structures/m2m.hpp"

namespace tarnwick {

M2MU32 M2MU32::clone() const {
    M2MU32 c;
    c.by_left_ = by_left_;
    c.by_right_ = by_right_;
    c.pairs_ = pairs_;
    return c;
}

bool M2MU32::add(uint32_t left, uint32_t right) {
    if (contains(left, right)) return false;
    // Entries are made (and the sets grown) before anything is counted; a
    // failed allocation takes back the entries it made, so the two
    // directions keep agreeing and no id is left with an empty entry.
    const bool left_new = !by_left_.contains(left);
    const bool right_new = !by_right_.contains(right);
    try {
        by_left_[left].add(right);
        by_right_[right].add(left);
    } catch (...) {
        if (HybridSet* rights = by_left_.find(left)) rights->remove(right);
        if (left_new) by_left_.erase(left);
        if (right_new) by_right_.erase(right);
        throw;
    }
    ++pairs_;
    return true;
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
    unlink(by_right_, right, left);
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

Bitmap M2MU32::lefts_of(uint32_t right) const { return related(by_right_, right); }
Bitmap M2MU32::rights_of(uint32_t left) const { return related(by_left_, left); }
Bitmap M2MU32::lefts_of_many(const Bitmap& rights) const { return related_many(by_right_, rights); }
Bitmap M2MU32::rights_of_many(const Bitmap& lefts) const { return related_many(by_left_, lefts); }
Bitmap M2MU32::lefts() const { return keys_of(by_left_); }
Bitmap M2MU32::rights() const { return keys_of(by_right_); }

uint64_t M2MU32::left_count(uint32_t right) const {
    const HybridSet* lefts = by_right_.find(right);
    return lefts ? lefts->size() : 0;
}

void M2MU32::clear() noexcept {
    by_left_.clear();
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
        rights->for_each([this, left](uint32_t right) { unlink(by_right_, right, left); });
        pairs_ -= rights->size();
        by_left_.erase(left);
    }
}

}  // namespace tarnwick

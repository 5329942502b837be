#include "index/core/structures/m2m.hpp"

namespace tarnwick {

M2MU32 M2MU32::clone() const {
    M2MU32 c;
    c.by_left_.reserve(by_left_.size());
    for (const auto& [id, ids] : by_left_) c.by_left_.emplace(id, ids);
    c.by_right_.reserve(by_right_.size());
    for (const auto& [id, ids] : by_right_) c.by_right_.emplace(id, ids);
    c.pairs_ = pairs_;
    return c;
}

bool M2MU32::add(uint32_t left, uint32_t right) {
    // Both entries exist before either bitmap changes, so a failed
    // allocation leaves the two directions agreeing.
    auto [lit, left_new] = by_left_.try_emplace(left);
    Side::iterator rit;
    try {
        rit = by_right_.try_emplace(right).first;
    } catch (...) {
        if (left_new) by_left_.erase(lit);
        throw;
    }
    if (lit->second.contains(right)) return false;
    lit->second.add(right);
    rit->second.add(left);
    ++pairs_;
    return true;
}

void M2MU32::unlink(Side& side, uint32_t key, uint32_t value) {
    auto it = side.find(key);
    if (it == side.end()) return;
    it->second.remove(value);
    if (it->second.empty()) side.erase(it);
}

bool M2MU32::remove(uint32_t left, uint32_t right) {
    if (!contains(left, right)) return false;
    unlink(by_left_, left, right);
    unlink(by_right_, right, left);
    --pairs_;
    return true;
}

bool M2MU32::contains(uint32_t left, uint32_t right) const {
    auto it = by_left_.find(left);
    return it != by_left_.end() && it->second.contains(right);
}

Bitmap M2MU32::related(const Side& side, uint32_t id) {
    auto it = side.find(id);
    return it == side.end() ? Bitmap() : it->second.to_bitmap();
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
            auto it = side.find(id);
            if (it != side.end()) take(it->second);
        });
    } else {
        for (const auto& [id, rel] : side)
            if (ids.contains(id)) take(rel);
    }
    out.add_many(found);
    return out;
}

Bitmap M2MU32::keys_of(const Side& side) {
    std::vector<uint32_t> keys;
    keys.reserve(side.size());
    for (const auto& [id, rel] : side) keys.push_back(id);
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
    auto it = by_right_.find(right);
    return it == by_right_.end() ? 0 : it->second.size();
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
    for (const auto& [left, rights] : other.by_left_)
        rights.for_each([this, l = left](uint32_t right) { add(l, right); });
}

void M2MU32::retain_lefts(const Bitmap& keep) {
    for (auto it = by_left_.begin(); it != by_left_.end();) {
        if (keep.contains(it->first)) {
            ++it;
            continue;
        }
        const uint32_t left = it->first;
        it->second.for_each([this, left](uint32_t right) { unlink(by_right_, right, left); });
        pairs_ -= it->second.size();
        it = by_left_.erase(it);
    }
}

}  // namespace tarnwick

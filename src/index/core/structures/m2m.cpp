#include "index/core/structures/m2m.hpp"

namespace tarnwick {

M2MU32 M2MU32::clone() const {
    M2MU32 c;
    c.by_left_.reserve(by_left_.size());
    for (const auto& [id, ids] : by_left_) c.by_left_.emplace(id, ids.clone());
    c.sole_left_ = sole_left_;
    c.by_right_.reserve(by_right_.size());
    for (const auto& [id, ids] : by_right_) c.by_right_.emplace(id, ids.clone());
    c.pairs_ = pairs_;
    return c;
}

bool M2MU32::add(uint32_t left, uint32_t right) {
    auto [lit, left_new] = by_left_.try_emplace(left);
    if (lit->second.contains(right)) return false;
    // The right side first: if it fails to allocate, the left side is put
    // back, so the two directions keep agreeing.
    try {
        link_right(right, left);
    } catch (...) {
        if (left_new) by_left_.erase(lit);
        throw;
    }
    lit->second.add(right);
    ++pairs_;
    return true;
}

void M2MU32::link_right(uint32_t right, uint32_t left) {
    auto multi = by_right_.find(right);
    if (multi != by_right_.end()) {
        multi->second.add(left);
        return;
    }
    const std::optional<uint32_t> sole = sole_left_.get(right);
    if (!sole) {
        sole_left_.set(right, left);
        return;
    }
    by_right_.emplace(right, Bitmap{*sole, left});
    sole_left_.erase(right);
}

void M2MU32::unlink_right(uint32_t right, uint32_t left) {
    auto multi = by_right_.find(right);
    if (multi == by_right_.end()) {
        if (sole_left_.get(right) == left) sole_left_.erase(right);
        return;
    }
    multi->second.remove(left);
    if (multi->second.cardinality() > 1) return;
    if (!multi->second.empty()) sole_left_.set(right, multi->second.minimum());
    by_right_.erase(multi);
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
    unlink_right(right, left);
    --pairs_;
    return true;
}

bool M2MU32::contains(uint32_t left, uint32_t right) const {
    auto it = by_left_.find(left);
    return it != by_left_.end() && it->second.contains(right);
}

Bitmap M2MU32::related(const Side& side, uint32_t id) {
    auto it = side.find(id);
    return it == side.end() ? Bitmap() : it->second.clone();
}

Bitmap M2MU32::related_many(const Side& side, const Bitmap& ids) {
    Bitmap out;
    // Walk whichever of the two is smaller; the union is the same.
    if (ids.cardinality() <= side.size()) {
        ids.for_each([&](uint32_t id) {
            auto it = side.find(id);
            if (it != side.end()) out |= it->second;
        });
    } else {
        for (const auto& [id, rel] : side)
            if (ids.contains(id)) out |= rel;
    }
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
            auto it = by_right_.find(right);
            if (it != by_right_.end()) out |= it->second;
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
    auto it = by_right_.find(right);
    return it == by_right_.end() ? 0 : it->second.cardinality();
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
        it->second.for_each([this, left](uint32_t right) { unlink_right(right, left); });
        pairs_ -= it->second.cardinality();
        it = by_left_.erase(it);
    }
}

}  // namespace tarnwick

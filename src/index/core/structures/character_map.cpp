#include "index/core/structures/character_map.hpp"

#include <algorithm>

namespace tarnwick {

std::vector<CharacterMap::Entry>::iterator CharacterMap::lower_bound(uint16_t key) noexcept {
    return std::lower_bound(entries_.begin(), entries_.end(), key,
                            [](const Entry& e, uint16_t k) { return e.key < k; });
}

std::vector<CharacterMap::Entry>::const_iterator CharacterMap::lower_bound(uint16_t key) const noexcept {
    return std::lower_bound(entries_.begin(), entries_.end(), key,
                            [](const Entry& e, uint16_t k) { return e.key < k; });
}

const HybridSet* CharacterMap::find(uint16_t key) const noexcept {
    auto it = lower_bound(key);
    return it != entries_.end() && it->key == key ? &it->ids : nullptr;
}

HybridSet& CharacterMap::slot(uint16_t key) {
    auto it = lower_bound(key);
    if (it != entries_.end() && it->key == key) return it->ids;
    const auto at = it - entries_.begin();
    // Most positions hold one key or two, so small records grow one entry at
    // a time instead of doubling.
    const size_t n = entries_.size();
    if (n == entries_.capacity()) entries_.reserve(n < 4 ? n + 1 : n + n / 2);
    return entries_.insert(entries_.begin() + at, Entry{key, HybridSet()})->ids;
}

void CharacterMap::add(uint16_t key, uint32_t id) { slot(key).add(id); }

void CharacterMap::add_many(uint16_t key, std::span<const uint32_t> ids) {
    if (ids.empty()) return;
    HybridSet& set = slot(key);
    if (ids.size() <= CenteredArray::capacity) {
        for (uint32_t id : ids) set.add(id);
        return;
    }
    // One bulk insertion instead of one lookup per id.
    Bitmap batch;
    batch.add_many(ids.data(), ids.size());
    if (set.empty())
        set = HybridSet::large_of(std::move(batch));
    else
        set.merge(HybridSet::large_of(std::move(batch)));
}

void CharacterMap::remove(uint16_t key, uint32_t id) {
    auto it = lower_bound(key);
    if (it == entries_.end() || it->key != key) return;
    it->ids.remove(id);
    if (it->ids.empty()) entries_.erase(it);
    release_if_empty();
}

void CharacterMap::retain(const Bitmap& keep) {
    for (Entry& e : entries_) e.ids.retain(keep);
    std::erase_if(entries_, [](const Entry& e) { return e.ids.empty(); });
    release_if_empty();
}

void CharacterMap::release_if_empty() noexcept {
    // A position emptied by removal is as cheap as one never used.
    if (entries_.empty() && entries_.capacity() != 0) std::vector<Entry>().swap(entries_);
}

void CharacterMap::merge(const CharacterMap& other) {
    if (&other == this) return;
    for (const Entry& e : other.entries_)
        if (!e.ids.empty()) slot(e.key).merge(e.ids);
}

size_t CharacterMap::memory_bytes() const noexcept {
    size_t total = entries_.capacity() * sizeof(Entry);
    for (const Entry& e : entries_) {
        if (const Bitmap* b = e.ids.bitmap())
            total += sizeof(roaring_bitmap_t) + roaring_bitmap_size_in_bytes(b->raw());
        else if (e.ids.representation() == HybridSetTag::Medium)
            total += sizeof(CenteredArray);
    }
    return total;
}

}  // namespace tarnwick

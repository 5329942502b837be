// Whole value -> the ids holding it, kept beside an index that answers
// equality only through several of its bitmaps (the key slices of numbers,
// the byte positions of strings): with it, equality on an attribute of few
// distinct values is one stored bitmap, and its size estimates how selective
// the test is before anything is computed.
//
// Worth it only while the values are few: past `limit` distinct values the
// sets are dropped for good (equality then goes back to the owner's own
// structure, whose cost does not grow with the number of values, and the
// sets would cost a bitmap per value). No lock of its own: it lives inside
// the owning index and shares its guard; a writer that buffers must flush()
// before readers may run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <iterator>
#include <unordered_map>

#include "index/core/structures/bitmap.hpp"
#include "index/core/structures/buffered_bitmap.hpp"

namespace tarnwick {

// `Buffer`: ids a set buffers, as many as the owner's own bitmaps do, so that
// readers see a batch in both at the same points.
template <class Key, class Hash, uint32_t Buffer, class Equal = std::equal_to<>>
class ValueSets {
public:
    using Element = BufferedBitmap<Buffer>;
    using Map = std::unordered_map<Key, Element, Hash, Equal>;
    static constexpr size_t limit = 1024;

    // Whether the sets still cover every id of the owner.
    bool active() const noexcept { return active_; }
    size_t distinct() const noexcept { return sets_.size(); }

    // `key` is a Key or what one is made from and compares with.
    template <class K>
    void insert(const K& key, uint32_t id) {
        if (Element* e = slot(key)) e->bitmap().add(id);
    }
    template <class K>
    void insert_buffered(const K& key, uint32_t id) {
        if (Element* e = slot(key)) {
            e->add_buffered(id);
            buffered_ = true;
        }
    }
    // insert() of every entry (key_of(entry), id_of(entry)); the sets fill
    // through their write buffers and are flushed before it returns. Stops
    // looking at the entries as soon as the values turn out too many.
    template <class Entries, class KeyOf, class IdOf>
    void insert_many(const Entries& entries, KeyOf key_of, IdOf id_of) {
        // The set of the previous entry: runs of one value skip the lookup.
        // Nodes of the map stay where they are while it grows.
        typename Map::value_type* last = nullptr;
        for (const auto& entry : entries) {
            const auto& key = key_of(entry);
            if (!last || !Equal()(last->first, key)) {
                last = node(key);
                if (!last) return;
            }
            last->second.add_buffered(id_of(entry));
            buffered_ = true;
        }
        flush();
    }
    template <class K>
    void remove(const K& key, uint32_t id) {
        if (!active_) return;
        auto it = sets_.find(key);
        if (it == sets_.end()) return;
        it->second.flush();  // a buffered copy of the id would otherwise survive
        it->second.bitmap().remove(id);
        if (it->second.bitmap().empty()) sets_.erase(it);
    }
    // Owners flush before every single removal: with nothing buffered that
    // must not visit every set.
    void flush() {
        if (!buffered_) return;
        for (auto& [key, e] : sets_) e.flush();
        buffered_ = false;
    }

    // The ids holding `key` (null when none does); only while active().
    template <class K>
    const Bitmap* find(const K& key) const {
        auto it = sets_.find(key);
        return it == sets_.end() ? nullptr : &it->second.bitmap();
    }

    // Calls f(key, ids) for every value held; only while active().
    template <class F>
    void for_each(F&& f) const {
        for (const auto& [key, e] : sets_) f(key, e.bitmap());
    }

    void retain(const Bitmap& keep) {
        for (auto it = sets_.begin(); it != sets_.end();) {
            it->second.flush();
            it->second.bitmap() &= keep;
            it = it->second.bitmap().empty() ? sets_.erase(it) : std::next(it);
        }
    }
    // The other's buffered ids count as well.
    void merge_from(const ValueSets& other) {
        if (&other == this || !active_) return;
        if (!other.active_) return drop();
        for (const auto& [key, e] : other.sets_) {
            Element* mine = slot(key);
            if (!mine) return;
            mine->flush();
            mine->bitmap() |= e.bitmap();
            mine->bitmap().add_many(e.buffered_ids(), e.buffered());
        }
    }

private:
    // The set of `key`, made if need be; null once the sets are dropped.
    template <class K>
    Element* slot(const K& key) {
        auto* n = node(key);
        return n ? &n->second : nullptr;
    }
    template <class K>
    typename Map::value_type* node(const K& key) {
        if (!active_) return nullptr;
        auto it = sets_.find(key);
        if (it != sets_.end()) return &*it;
        if (sets_.size() >= limit) {
            drop();
            return nullptr;
        }
        return &*sets_.try_emplace(Key(key)).first;
    }
    void drop() noexcept {
        active_ = false;
        decltype(sets_)().swap(sets_);
    }

    Map sets_;
    bool active_ = true;
    // Whether some set may hold buffered ids.
    bool buffered_ = false;
};

}  // namespace tarnwick

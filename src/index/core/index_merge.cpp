// Merging one engine into another (IndexAPI::union_with, index.hpp),
// structure by structure. How its locks fit the lock order of the whole
// system is stated in src/README.md.
//
// The receiving engine takes over the other's objects with their values as the
// other's structures hold them, without re-reading attributes. Two things keep
// the result sound under concurrent use:
//   - the objects taken over stay locked from before the first structure is
//     read until they are members here, so no assignment can slip between
//     the copy of their values and their registration on this engine;
//   - no two structure locks are ever held together: each structure of the
//     other engine is copied under its read lock, and the copy merged here
//     under this engine's write lock afterwards.
// Element ids are never copied: the items of the containers taken over are
// indexed again here under element ids this engine issues (and later frees)
// itself. Nested objects are linked to their holders here and indexed in this
// engine's nested engines by the queued nested additions, which also register
// them; those run in place, with the nested objects locked along with the
// objects taken over, before the latter become members.
// Python references are never shared between the two trees either: whatever
// this engine keeps of the other's values holds a reference of its own,
// recorded for the garbage collector in this tree's mirror (gc_mirror.hpp);
// making one takes the GIL briefly, no Python code runs under it.
#include <algorithm>
#include <functional>
#include <optional>
#include <unordered_map>
#include <utility>
#include <vector>

#include "index/core/index.hpp"
#include "index/core/nested_tasks.hpp"
#include "index/core/object_lock.hpp"
#include "index/core/query/query_map.hpp"

namespace tarnwick {
namespace {

using ChildById = std::unordered_map<uint32_t, PyValue>;

// The other's whole values held by `taken`; the nested objects among all its
// values go into `children`, for relinking their holders.
void merge_exact(QueryMap& mine, const QueryMap& theirs, const Bitmap& taken, ChildById& children) {
    std::vector<std::pair<PyValue, Bitmap>> entries;
    theirs.exact_values.for_each_shard_read([&](const ExactValues::Map& shard) {
        for (const auto& [key, set] : shard) {
            if (key.value.primitive.is_ind()) {
                const IndexableLink& link = key.value.primitive.as_ind();
                if (link.record) children.emplace(link.id(), key.value);
            }
            Bitmap ids = set.to_bitmap();
            ids &= taken;
            if (!ids.empty()) entries.emplace_back(key.value, std::move(ids));
        }
    });
    if (entries.empty()) return;
    {
        GilAcquire gil;
        for (auto& [value, ids] : entries) value = mine.gc_mirror->adopt_copy(value);
    }
    for (auto& [value, ids] : entries) {
        ExactKey key(std::move(value));
        auto shard = mine.exact_values.get_shard(key);
        auto it = shard->find(key);
        if (it == shard->end()) {
            it = shard->emplace(std::move(key), HybridSet()).first;
        } else {
            mine.gc_mirror->release_later(key.value.obj);  // not kept
        }
        HybridSet& set = it->second;
        ids.for_each([&set](uint32_t id) { set.add(id); });
    }
}

// Positions are paired by their offset from the centre, and empty strings
// come along.
void merge_strings(QueryMap& mine, const QueryMap& theirs, const Bitmap& taken) {
    PositionalBitmap part;
    {
        ReadGuard g(theirs.strings.lock());
        const PositionalBitmap& s = theirs.strings.get();
        if (s.position_count() == 0 && s.empty_strings().bitmap().empty()) return;
        part.merge_from(s);
    }
    part.retain(taken);
    WriteGuard g(mine.strings.lock());
    mine.strings.get().merge_from(part);
}

void merge_numbers(QueryMap& mine, const QueryMap& theirs, const Bitmap& taken) {
    NumericalBitmap part;
    {
        ReadGuard g(theirs.numbers.lock());
        const NumericalBitmap& n = theirs.numbers.get();
        // Every id has its key's lowest bit in one half of slice 0.
        const auto& lowest = n.slices()[0];
        if (lowest[0].bitmap().empty() && lowest[1].bitmap().empty()) return;
        part.merge_from(n);
    }
    part.retain(taken);
    WriteGuard g(mine.numbers.lock());
    mine.numbers.get().merge_from(part);
}

void merge_temporals(QueryMap& mine, const QueryMap& theirs, const Bitmap& taken) {
    TemporalBitmaps part;
    {
        ReadGuard g(theirs.temporals.lock());
        const TemporalBitmaps& t = theirs.temporals.get();
        if (t.empty()) return;
        part.merge_from(t);
    }
    part.retain(taken);
    WriteGuard g(mine.temporals.lock());
    mine.temporals.get().merge_from(part);
}

void merge_bools(QueryMap& mine, const QueryMap& theirs, const Bitmap& taken) {
    Bitmap true_ids, false_ids;
    {
        ReadGuard g(theirs.bools.lock());
        true_ids = theirs.bools.get().of(true).bitmap() & taken;
        false_ids = theirs.bools.get().of(false).bitmap() & taken;
    }
    if (true_ids.empty() && false_ids.empty()) return;
    WriteGuard g(mine.bools.lock());
    BoolBitmaps& bools = mine.bools.get();
    bools.of(true).flush();
    bools.of(true).bitmap() |= true_ids;
    bools.of(false).flush();
    bools.of(false).bitmap() |= false_ids;
}

// The items of the containers held by `taken`, indexed again under element ids
// of this map. An owner whose container this map already indexes (an object
// of both engines) keeps what it has.
void merge_elements(QueryMap& mine, const QueryMap& theirs, const Bitmap& taken) {
    std::vector<std::pair<uint32_t, ContainerItems>> containers;
    {
        ReadGuard g(theirs.element_owners.lock());
        if (theirs.element_owners.get().owner_count() == 0) return;
        theirs.element_owners.get().for_each_owner([&](uint32_t owner, const OwnedElements& entries) {
            if (!taken.contains(owner)) return;
            ContainerItems items;
            items.reserve(entries.size());
            for (const OwnedElement& e : entries) items.push_back(e.item());
            containers.emplace_back(owner, std::move(items));
        });
    }
    if (containers.empty()) return;
    Bitmap indexed_here;
    {
        ReadGuard g(mine.element_owners.lock());
        mine.element_owners.get().for_each_owner(
            [&](uint32_t owner, const OwnedElements&) { indexed_here.add(owner); });
    }
    std::erase_if(containers, [&](const auto& c) { return indexed_here.contains(c.first); });
    if (containers.empty()) return;
    {
        GilAcquire gil;
        for (auto& [owner, items] : containers)
            for (std::optional<PyValue>& item : items)
                if (item) item = mine.gc_mirror->adopt_copy(*item);
    }
    for (auto& [owner, items] : containers) mine.insert_items(std::move(items), owner);
}

// The other's (holder, nested object) links of the holders taken over. The
// cycle check of insert_indexable runs against this engine's own chain.
void merge_links(QueryMap& mine, const QueryMap& theirs, const Bitmap& taken, const ChildById& children) {
    if (children.empty()) return;
    std::vector<std::pair<uint32_t, uint32_t>> pairs;
    {
        ReadGuard g(theirs.nested->parent_links->lock());
        theirs.nested->parent_links->get().for_each_pair([&](uint32_t holder, uint32_t child) {
            if (taken.contains(holder)) pairs.emplace_back(holder, child);
        });
    }
    std::vector<std::pair<uint32_t, PyValue>> links;
    for (const auto& [holder, child] : pairs) {
        auto it = children.find(child);
        if (it != children.end()) links.emplace_back(holder, it->second);
    }
    if (links.empty()) return;
    {
        GilAcquire gil;
        for (auto& [holder, child] : links) {
            PyHandle fresh = PyHandle::borrow(child.obj.get());
            mine.gc_mirror->adopt(fresh);
            child.obj = std::move(fresh);
        }
    }
    for (const auto& [holder, child] : links) {
        mine.insert_indexable(child, holder);
        // Kept only if the link was new and the child not yet nested here.
        mine.gc_mirror->release_later(child.obj);
    }
}

// The nested values that the other engine knows by their links alone
// (linked_holders), by attribute: (holder, value) for the holders among
// `incoming`. Read from the holders themselves, which the merge holds locked
// throughout, before any lock of this engine: each keeps the value the other
// engine indexed.
using LinkedValues = std::unordered_map<uint32_t, std::vector<std::pair<uint32_t, PyValue>>>;

LinkedValues linked_values_of(const IndexAPI& other, const std::vector<StoredItem>& incoming) {
    Bitmap ids;
    for (const StoredItem& item : incoming) ids.add(item.record->id);
    std::vector<std::pair<uint32_t, Bitmap>> wanted;
    {
        ReadGuard g(other.query_maps->lock());
        const IndexAPI::QueryMapTable& table = other.query_maps->get();
        for (uint32_t attribute = 0; attribute < table.size(); ++attribute) {
            if (!table[attribute]) continue;
            ReadGuard l(table[attribute]->linked_holders.lock());
            Bitmap holders = table[attribute]->linked_holders.get() & ids;
            if (!holders.empty()) wanted.emplace_back(attribute, std::move(holders));
        }
    }
    LinkedValues out;
    for (const auto& [attribute, holders] : wanted) {
        std::vector<std::pair<uint32_t, PyValue>>& values = out[attribute];
        for (const StoredItem& item : incoming) {
            if (!holders.contains(item.record->id)) continue;
            MutexGuard g(item.record->attribute_map().lock());
            const PyValue* value = item.record->attribute_map().get().get(attribute);
            if (value && value->primitive.is_ind()) values.emplace_back(item.record->id, *value);
        }
    }
    return out;
}

// Those values of the holders taken over go in here as any nested value
// does: linked or, where the cycle check of this engine's chain refuses the
// link, as a whole value.
void merge_linked(QueryMap& mine, const Bitmap& taken, const std::vector<std::pair<uint32_t, PyValue>>& linked) {
    std::vector<std::pair<uint32_t, PyValue>> values;
    for (const auto& [holder, child] : linked)
        if (taken.contains(holder)) values.emplace_back(holder, child);
    if (values.empty()) return;
    {
        GilAcquire gil;
        for (auto& [holder, child] : values) {
            PyHandle fresh = PyHandle::borrow(child.obj.get());
            mine.gc_mirror->adopt(fresh);
            child.obj = std::move(fresh);
        }
    }
    for (const auto& [holder, child] : values) {
        mine.insert_value(child, {}, holder);
        // Kept only where it became a whole value or a fresh nested object.
        mine.gc_mirror->release_later(child.obj);
    }
}

void merge_map(QueryMap& mine, const QueryMap& theirs, const Bitmap& taken,
               const std::vector<std::pair<uint32_t, PyValue>>* linked) {
    ChildById children;
    merge_exact(mine, theirs, taken, children);
    if (linked) merge_linked(mine, taken, *linked);
    merge_strings(mine, theirs, taken);
    merge_numbers(mine, theirs, taken);
    merge_bools(mine, theirs, taken);
    merge_temporals(mine, theirs, taken);
    merge_elements(mine, theirs, taken);
    merge_links(mine, theirs, taken, children);
    Bitmap selves = theirs.self_holders_in(taken);
    if (!selves.empty()) {
        WriteGuard g(mine.self_holders.lock());
        mine.self_holders.get() |= selves;
    }
}

}  // namespace

std::vector<uint32_t> IndexAPI::union_with(IndexAPI& other, std::vector<StoredItem> incoming) {
    if (&other == this) return {};
    std::stable_sort(incoming.begin(), incoming.end(),
                     [](const StoredItem& a, const StoredItem& b) { return a.record->id < b.record->id; });
    incoming.erase(std::unique(incoming.begin(), incoming.end(),
                               [](const StoredItem& a, const StoredItem& b) { return a.record->id == b.record->id; }),
                   incoming.end());

    // Ascending ids, as add_object_many locks its batch, with the objects
    // nested below them: those are indexed in the nested engines here before
    // their holders become members (add_object).
    std::vector<RecordPtr> records;
    records.reserve(incoming.size());
    for (const StoredItem& item : incoming) records.push_back(item.record);
    ObjectLocks locked = lock_with_nested(std::move(records));
    const LinkedValues linked = linked_values_of(other, incoming);
    // An in-place reduction must not run between the check of who is a
    // member here and the values coming over; the objects that join are no
    // members until join_members, so one that runs after leaves them alone.
    std::optional<ReadGuard> changing(std::in_place, changes_);

    // `taken`: the objects still members of other, whose values come over;
    // `fresh`: those of them not yet members here, which join.
    Bitmap taken;
    {
        ReadGuard g(other.member_ids->lock());
        for (const StoredItem& item : incoming)
            if (other.member_ids->get().contains(item.record->id)) taken.add(item.record->id);
    }
    if (taken.empty()) return {};
    Bitmap fresh;
    {
        ReadGuard g(member_ids->lock());
        fresh = taken - member_ids->get();
    }
    for (const StoredItem& item : incoming)
        if (fresh.contains(item.record->id)) register_on(item.record->index_metas().get());

    // Attributes only the other engine has get maps here first.
    std::vector<uint32_t> attributes;
    {
        ReadGuard g(other.query_maps->lock());
        const QueryMapTable& table = other.query_maps->get();
        for (uint32_t i = 0; i < table.size(); ++i)
            if (table[i]) attributes.push_back(i);
    }
    ensure_maps(attributes);
    {
        const bool mine_first = std::less<const IndexAPI*>()(this, &other);
        ReadGuard first((mine_first ? this : &other)->query_maps->lock());
        ReadGuard second((mine_first ? &other : this)->query_maps->lock());
        const QueryMapTable& mine = query_maps->get();
        const QueryMapTable& theirs = other.query_maps->get();
        for (uint32_t attribute : attributes) {
            QueryMap* to = map_at(mine, attribute);
            const QueryMap* from = map_at(theirs, attribute);
            auto found = linked.find(attribute);
            if (to && from) merge_map(*to, *from, taken, found == linked.end() ? nullptr : &found->second);
        }
    }
    // The values of names starting with "_" that came over keep following
    // assignments here.
    std::vector<std::pair<uint32_t, Bitmap>> private_taken;
    {
        ReadGuard g(other.private_values_.lock());
        for (const auto& [attribute, ids] : other.private_values_.get()) {
            Bitmap both = ids & taken;
            if (!both.empty()) private_taken.emplace_back(attribute, std::move(both));
        }
    }
    for (const auto& [attribute, ids] : private_taken) note_private_values(attribute, ids);
    changing.reset();

    run_held_nested_additions();

    std::vector<uint32_t> placed;
    std::vector<StoredItem> previous;
    {
        ReadGuard joining(changes_);
        WriteGuard members_guard(member_ids->lock());
        WriteGuard items_guard(items->lock());
        ItemTable& table = items->get();
        Bitmap& members = member_ids->edit();
        for (StoredItem& item : incoming) {
            const uint32_t id = item.record->id;
            if (!fresh.contains(id)) continue;
            reserve_item_slot(table, id);
            previous.push_back(fill_slot(table, id, std::move(item)));
            members.add(id);
            placed.push_back(id);
        }
    }
    // The objects are unlocked when `locked` goes; nested objects that could
    // not be indexed here are indexed after that (run_nested_tasks).
    return placed;
}

}  // namespace tarnwick

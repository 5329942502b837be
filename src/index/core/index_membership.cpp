// Membership of an engine as the collection classes see it: whether it holds
// a given object, and taking objects out one at a time or all at once.
#include <cstdint>
#include <utility>
#include <vector>

#include "index/core/index.hpp"
#include "index/core/object_lock.hpp"
#include "index/core/query/query_map.hpp"

namespace tarnwick {

// ---- reading ------------------------------------------------------------------------

FilteredView IndexAPI::whole() const {
    const uint64_t epoch = table_epoch();
    Bitmap ids;
    {
        GilSafeReadGuard<RwLock> g(member_ids->lock());
        ids = member_ids->get().clone();
    }
    return view_of(std::move(ids), epoch);
}

bool IndexAPI::holds(uint32_t id, const PyObject* obj) const {
    {
        GilSafeReadGuard<RwLock> g(member_ids->lock());
        if (!member_ids->get().contains(id)) return false;
    }
    return slot_holds(*items, id, obj);
}

Bitmap IndexAPI::children_of(const Bitmap& holders) const {
    ReadGuard g(parent_links->lock());
    return parent_links->get().rights_of_many(holders);
}

// ---- taking objects out -------------------------------------------------------------

bool IndexAPI::remove_object(const RecordPtr& record) {
    const uint32_t id = record->id;
    // Held throughout: assignments to the object go through this engine under
    // the same lock, so the values removed below are the ones indexed.
    ObjectLocks metas(record->index_metas().lock());
    if (!is_member(id)) return false;
    // Every attribute, names starting with "_" too: a batch addition indexes
    // those as well, and removing a value that was never indexed is harmless.
    for (const auto& [attribute, value] : snapshot_attributes(*record)) remove_index(id, attribute, value);
    StoredItem previous;
    {
        // Exclusive against an in-place reduction, which would otherwise see
        // the id half gone.
        ReadGuard changing(changes_);
        {
            WriteGuard g(member_ids->lock());
            member_ids->edit().remove(id);
        }
        WriteGuard g(items->lock());
        ItemTable& table = items->get();
        // Before the slot empties: a view made from here on must not take a
        // later object in this slot for this one.
        advance_table_epoch();
        previous = empty_slot(table, id);
    }
    unregister_from(record->index_metas().get());
    return true;
}

void IndexAPI::remove_all() {
    std::vector<RecordPtr> records;
    {
        ReadGuard members_guard(member_ids->lock());
        ReadGuard items_guard(items->lock());
        const ItemTable& table = items->get();
        records.reserve(member_ids->get().cardinality());
        member_ids->get().for_each([&](uint32_t id) {
            if (id < table.size() && table[id].occupied()) records.push_back(table.record(id));
        });
    }
    withdraw(records);
}

}  // namespace tarnwick

// Membership of an engine as the collection classes see it: how many objects
// a view or an engine holds, whether it holds a given one, and taking objects
// out one at a time or all at once.
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

#include "index/core/index.hpp"
#include "index/core/object_lock.hpp"
#include "index/core/query/query.hpp"

namespace tarnwick {
namespace {

// Read-locks `lock`; a thread that holds the GIL waits with it released.
class AnyThreadReadGuard {
public:
    explicit AnyThreadReadGuard(RwLock& lock) : lock_(lock) {
        if (PyGILState_Check()) {
            lock_shared_releasing_gil(lock_);
        } else {
            lock_.lock_shared();
        }
    }
    ~AnyThreadReadGuard() { lock_.unlock_shared(); }
    AnyThreadReadGuard(const AnyThreadReadGuard&) = delete;
    AnyThreadReadGuard& operator=(const AnyThreadReadGuard&) = delete;

private:
    RwLock& lock_;
};

bool slot_holds(const RwLocked<ItemTable>& items, uint32_t id, const PyObject* obj, uint64_t epoch) {
    AnyThreadReadGuard g(items.lock());
    const ItemTable& table = items.get();
    return id < table.size() && held_since(table[id], epoch) && table[id].python_handle.get() == obj;
}

}  // namespace

// ---- views ------------------------------------------------------------------------

// The members among the ids; when an object left some table since the view
// was made (the epoch moved), a slot may since hold an object the view never
// held, and the slots of the members decide.
Bitmap FilteredView::present() const {
    Bitmap out;
    if (members) {
        AnyThreadReadGuard g(members->lock());
        out = ids & members->get();
    } else {
        out = ids.clone();
    }
    if (table_epoch() == epoch) return out;
    std::vector<uint32_t> stale;
    {
        AnyThreadReadGuard g(items->lock());
        const ItemTable& table = items->get();
        out.for_each([&](uint32_t id) {
            if (id >= table.size() || !held_since(table[id], epoch)) stale.push_back(id);
        });
    }
    for (uint32_t id : stale) out.remove(id);
    return out;
}

uint64_t FilteredView::present_count() const {
    if (members && table_epoch() == epoch) {
        AnyThreadReadGuard g(members->lock());
        return ids.and_cardinality(members->get());
    }
    return present().cardinality();
}

bool FilteredView::holds(uint32_t id, const PyObject* obj) const {
    if (!ids.contains(id)) return false;
    if (members) {
        AnyThreadReadGuard g(members->lock());
        if (!members->get().contains(id)) return false;
    }
    return slot_holds(*items, id, obj, epoch);
}

FilteredView IndexAPI::whole() const {
    const uint64_t epoch = table_epoch();
    Bitmap ids;
    {
        AnyThreadReadGuard g(member_ids->lock());
        ids = member_ids->get().clone();
    }
    return view_of(std::move(ids), epoch);
}

uint64_t IndexAPI::member_count() const {
    AnyThreadReadGuard g(member_ids->lock());
    return member_ids->get().cardinality();
}

bool IndexAPI::holds(uint32_t id, const PyObject* obj) const {
    {
        AnyThreadReadGuard g(member_ids->lock());
        if (!member_ids->get().contains(id)) return false;
    }
    return slot_holds(*items, id, obj, std::numeric_limits<uint64_t>::max());
}

Bitmap IndexAPI::children_of(const Bitmap& holders) const {
    ReadGuard g(parent_links->lock());
    return parent_links->get().rights_of_many(holders);
}

// ---- taking objects out -------------------------------------------------------------

bool IndexAPI::remove_object(const std::shared_ptr<IndexableRecord>& record) {
    const uint32_t id = record->id;
    // Held throughout: assignments to the object go through this engine under
    // the same lock, so the values removed below are the ones indexed.
    ObjectLocks metas(record->index_metas->lock());
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
            member_ids->get().remove(id);
        }
        WriteGuard g(items->lock());
        ItemTable& table = items->get();
        // Before the slot empties: a view made from here on must not take a
        // later object in this slot for this one.
        advance_table_epoch();
        if (id < table.size()) previous = std::exchange(table[id], StoredItem::placeholder());
    }
    unregister_from(record->index_metas->get());
    return true;
}

void IndexAPI::remove_all() {
    std::vector<std::shared_ptr<IndexableRecord>> records;
    {
        ReadGuard members_guard(member_ids->lock());
        ReadGuard items_guard(items->lock());
        const ItemTable& table = items->get();
        records.reserve(member_ids->get().cardinality());
        member_ids->get().for_each([&](uint32_t id) {
            if (id < table.size() && !table[id].is_placeholder()) records.push_back(table[id].record);
        });
    }
    withdraw(records);
}

}  // namespace tarnwick

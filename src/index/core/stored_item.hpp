// One slot of an engine's item table: the object as Python sees it and its
// native record. Holding the item keeps the Python object alive.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <vector>

#include "index/core/structures/bitmap.hpp"
#include "index/core/structures/paged_slots.hpp"
#include "index/core/structures/sync.hpp"
#include "index/indexable_record.hpp"
#include "index/pyref.hpp"

namespace tarnwick {

struct StoredItem {
    PyHandle python_handle;
    std::shared_ptr<IndexableRecord> record;
    // The table epoch (table_epoch()) when the slot took this object; a view
    // made at an earlier epoch never held it.
    uint64_t joined = 0;

    // The item of an empty slot. The Python placeholder is created on first
    // use, which needs the GIL: touch_placeholders() runs that first use.
    static StoredItem placeholder();
    bool is_placeholder() const noexcept;
};

// Creates the placeholder objects if they do not exist yet. Needs the GIL.
void touch_placeholders();
// The record of the placeholder (what is_placeholder compares with).
const IndexableRecord* placeholder_record();

// Slots by object id, paged: a table costs what its members' ids touch, not
// every id the process has given out.
using ItemTable = PagedSlots<StoredItem>;
using SharedItemTable = std::shared_ptr<RwLocked<ItemTable>>;

// Makes room for slot `id` (empty until filled: a placeholder, as far as
// is_placeholder is concerned). Throws std::bad_alloc before any change.
void reserve_item_slot(ItemTable& table, uint32_t id);

// Object ids are reused: once an object is out of a table and gone, a new
// object may take its id and its slot. The table epoch tells them apart for
// views, which keep ids only. Every removal from a table advances it before
// emptying slots; a view reads it before it reads the members it keeps; a
// slot filled after that removal is stamped with a later epoch than the view.
uint64_t table_epoch() noexcept;
// Call once per removal, under the table's write lock, before its slots are
// emptied.
void advance_table_epoch() noexcept;
// Puts `item` into slot `id` (its room reserved) and returns what the slot
// held. The same object filling its slot again keeps its stamp.
StoredItem fill_slot(ItemTable& table, uint32_t id, StoredItem item);
// Empties slot `id` and returns what it held (an empty item if nothing).
StoredItem empty_slot(ItemTable& table, uint32_t id) noexcept;
// Whether the slot holds an object that a view made at `epoch` held (or may
// have held): not the placeholder, and stamped no later than the view.
bool held_since(const StoredItem& slot, uint64_t epoch) noexcept;
// The same, with the placeholder's record (placeholder_record()) at hand.
inline bool held_since(const StoredItem& slot, uint64_t epoch, const IndexableRecord* empty) noexcept {
    return slot.record && slot.record.get() != empty && slot.joined <= epoch;
}

// fn(id, item) for the slot of every id in `ids` that holds an object (one
// that a view made at `epoch` held: held_since), in ascending id order, under
// the table's read lock (a thread that holds the GIL waits for it with the
// GIL released). fn must not run Python code.
//
// Member ids are spread over the table, so nearly every slot, and the object
// behind it, is a cache miss of its own: the ids go in batches whose slots,
// then objects, are all asked for before the first is used, so that the
// misses of a batch overlap instead of following one another.
template <class F>
void for_each_present_item(const RwLocked<ItemTable>& items, const Bitmap& ids, F&& fn,
                           uint64_t epoch = std::numeric_limits<uint64_t>::max()) {
    GilSafeReadGuard<RwLock> guard(items.lock());
    const ItemTable& table = items.get();
    const IndexableRecord* const empty = placeholder_record();
    constexpr size_t batch = 64;
    uint32_t pending[batch];
    // Each slot is found in its page once per batch, not once per pass.
    const StoredItem* slots[batch];
    size_t n = 0;
    auto run = [&] {
        for (size_t i = 0; i < n; ++i) {
            slots[i] = &table[pending[i]];
            __builtin_prefetch(slots[i]);
        }
        for (size_t i = 0; i < n; ++i) __builtin_prefetch(slots[i]->python_handle.get(), 1);
        for (size_t i = 0; i < n; ++i)
            if (held_since(*slots[i], epoch, empty)) fn(pending[i], *slots[i]);
        n = 0;
    };
    const size_t size = table.size();
    ids.for_each([&](uint32_t id) {
        if (id >= size) return;
        pending[n++] = id;
        if (n == batch) run();
    });
    run();
}

// Whether slot `id` holds `obj`, as an object a view made at `epoch` held.
inline bool slot_holds(const RwLocked<ItemTable>& items, uint32_t id, const PyObject* obj,
                       uint64_t epoch = std::numeric_limits<uint64_t>::max()) {
    GilSafeReadGuard<RwLock> guard(items.lock());
    const ItemTable& table = items.get();
    return id < table.size() && held_since(table[id], epoch) && table[id].python_handle.get() == obj;
}

}  // namespace tarnwick

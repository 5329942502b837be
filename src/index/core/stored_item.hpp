// An engine's item table, and the objects that go into and come out of it:
// the object as Python sees it and its native record. Holding an item keeps
// the Python object alive.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <unordered_map>
#include <vector>

#include "index/core/structures/bitmap.hpp"
#include "index/core/structures/paged_slots.hpp"
#include "index/core/structures/sync.hpp"
#include "index/indexable_record.hpp"
#include "index/pyref.hpp"

namespace tarnwick {

struct StoredItem {
    PyHandle python_handle;
    RecordPtr record;
    // The table epoch (table_epoch()) when the slot took this object; a view
    // made at an earlier epoch never held it.
    uint64_t joined = 0;
};

// Creates the placeholder objects if they do not exist yet. Needs the GIL.
void touch_placeholders();

// One slot of an item table: the object's reference and the epoch at which
// the slot took it. The record is not kept here: a Python object holds its
// own record for as long as it lives, and the slot keeps the object alive,
// so the record is read through the object (ItemTable::record). A slot costs
// 24 bytes, where a share of the record beside the reference took 40.
struct ItemSlot {
    // Empty for an object with no Python counterpart (the engine's own
    // tests make such objects).
    PyHandle python_handle;
    // The handle's object, kept beside it: walks over many slots (collecting
    // results) reach the object in one step, where the handle's box would be
    // a cache miss of its own between slot and object.
    PyObject* object = nullptr;
    // The table epoch (table_epoch()) when the slot took this object; a view
    // made at an earlier epoch never held it. Epochs start at 1: 0 marks an
    // empty slot.
    uint64_t joined = 0;

    bool occupied() const noexcept { return joined != 0; }
};
static_assert(sizeof(ItemSlot) == 24, "an item slot is a reference, its object and an epoch");

// Slots by object id, paged: a table costs what its members' ids touch, not
// every id the process has given out. Written only through reserve_item_slot,
// fill_slot and empty_slot.
class ItemTable {
public:
    // One past the highest id the table reaches; every id may be read.
    size_t size() const noexcept { return slots_.size(); }
    size_t page_count() const noexcept { return slots_.page_count(); }
    const ItemSlot& operator[](size_t id) const noexcept { return slots_[id]; }
    void prefetch(size_t id) const noexcept { slots_.prefetch(id); }
    // The record of the object in slot `id`; empty if the slot is. Valid
    // while the slot keeps its object (under the table's lock): copy it to
    // keep it longer.
    const RecordPtr& record(uint32_t id) const noexcept;
    // The slot's object as an item of its own (empty if the slot is).
    StoredItem item(uint32_t id) const;

private:
    friend void reserve_item_slot(ItemTable& table, uint32_t id);
    friend StoredItem fill_slot(ItemTable& table, uint32_t id, StoredItem item);
    friend StoredItem empty_slot(ItemTable& table, uint32_t id) noexcept;

    PagedSlots<ItemSlot> slots_;
    // The records of objects without a Python object, which have nothing
    // else to hold their record by.
    std::unordered_map<uint32_t, RecordPtr> native_records_;
};
using SharedItemTable = std::shared_ptr<RwLocked<ItemTable>>;

// Makes room for slot `id` (empty until filled). Throws std::bad_alloc before
// any change.
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
// held. The same object filling its slot again keeps its stamp. An item
// with a Python object must carry that object's own record.
StoredItem fill_slot(ItemTable& table, uint32_t id, StoredItem item);
// Empties slot `id` and returns what it held (an empty item if nothing).
StoredItem empty_slot(ItemTable& table, uint32_t id) noexcept;
// Whether the slot holds an object that a view made at `epoch` held (or may
// have held): filled, and stamped no later than the view.
inline bool held_since(const ItemSlot& slot, uint64_t epoch) noexcept {
    return slot.occupied() && slot.joined <= epoch;
}

namespace detail {

// The loop of for_each_present_item. The stamps are read only when a removal
// happened since the view was made (`check_stamps`).
template <bool check_stamps, class F>
void visit_present_items(const ItemTable& table, const Bitmap& ids, F& fn, uint64_t epoch) {
    // Slots are asked for `slot_ahead` ids before their use, the objects
    // behind them `object_ahead` ids before (by then their slot is in).
    constexpr size_t slot_ahead = 32;
    constexpr size_t object_ahead = 16;
    static_assert(object_ahead < slot_ahead && (slot_ahead & (slot_ahead - 1)) == 0);
    // A slot may straddle two cache lines: both ends of what is read are
    // asked for.
    constexpr size_t last_byte_read = sizeof(ItemSlot) - 1;
    const size_t n = ids.cardinality();
    if (n == 0) return;
    // All ids at once: the library's one-pass extraction costs a fraction of
    // a call per id.
    std::unique_ptr<uint32_t[]> all(new uint32_t[n]);
    roaring_bitmap_to_uint32_array(ids.raw(), all.get());
    const ItemSlot* ahead[slot_ahead];
    auto locate = [&](size_t i) {
        const ItemSlot* slot = &table[all[i]];
        __builtin_prefetch(slot);
        __builtin_prefetch(reinterpret_cast<const char*>(slot) + last_byte_read);
        ahead[i & (slot_ahead - 1)] = slot;
    };
    for (size_t i = 0; i < n && i < slot_ahead; ++i) locate(i);
    for (size_t i = 0; i < n && i < object_ahead; ++i) __builtin_prefetch(ahead[i]->object, 1);
    for (size_t i = 0; i < n; ++i) {
        const ItemSlot* slot = ahead[i & (slot_ahead - 1)];
        if (i + object_ahead < n) __builtin_prefetch(ahead[(i + object_ahead) & (slot_ahead - 1)]->object, 1);
        if (i + slot_ahead < n) locate(i + slot_ahead);
        const bool held = slot->occupied() && (!check_stamps || slot->joined <= epoch);
        if (held) fn(all[i], *slot);
    }
}

}  // namespace detail

// fn(id, slot) for the slot of every id in `ids` that holds an object (one
// that a view made at `epoch` held: held_since), in ascending id order, under
// the table's read lock (a thread that holds the GIL waits for it with the
// GIL released). fn must not run Python code.
//
// Member ids are spread over the table, so nearly every slot, and the object
// behind it, is a cache miss of its own: slots and objects are asked for
// some ids ahead of their use, so that the misses overlap instead of
// following one another.
template <class F>
void for_each_present_item(const RwLocked<ItemTable>& items, const Bitmap& ids, F&& fn,
                           uint64_t epoch = std::numeric_limits<uint64_t>::max()) {
    GilSafeReadGuard<RwLock> guard(items.lock());
    // Every removal from this table advances the epoch under its write lock
    // before it empties slots, and a slot filled since the view was made is
    // stamped with the epoch of its filling: unless the epoch moved past the
    // view's, every filled slot is one the view may have held.
    if (epoch >= table_epoch())
        detail::visit_present_items<false>(items.get(), ids, fn, epoch);
    else
        detail::visit_present_items<true>(items.get(), ids, fn, epoch);
}

// Whether slot `id` holds `obj`, as an object a view made at `epoch` held.
inline bool slot_holds(const RwLocked<ItemTable>& items, uint32_t id, const PyObject* obj,
                       uint64_t epoch = std::numeric_limits<uint64_t>::max()) {
    GilSafeReadGuard<RwLock> guard(items.lock());
    const ItemTable& table = items.get();
    return id < table.size() && held_since(table[id], epoch) && table[id].object == obj;
}

}  // namespace tarnwick

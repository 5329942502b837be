// One slot of an engine's item table: the object as Python sees it and its
// native record. Holding the item keeps the Python object alive.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "index/core/sync.hpp"
#include "index/indexable.hpp"
#include "index/pyref.hpp"

namespace tarnwick {

struct StoredItem {
    PyHandle python_handle;
    std::shared_ptr<IndexableRecord> record;
    // True only for slots filled from a reference the Index class took itself
    // (add_object, add_object_many): nobody else reports that reference to the
    // garbage collector, so the Index does. Every other slot shares its
    // reference with an attribute value or a placeholder.
    bool gc_visible : 1 = false;
    // The table epoch (table_epoch()) when the slot took this object; a view
    // made at an earlier epoch never held it.
    uint64_t joined : 63 = 0;

    // The item of an empty slot. The Python placeholder is created on first
    // use, which needs the GIL: touch_placeholders() runs that first use.
    static StoredItem placeholder();
    bool is_placeholder() const noexcept;
};

// Creates the placeholder objects if they do not exist yet. Needs the GIL.
void touch_placeholders();

using ItemTable = std::vector<StoredItem>;
using SharedItemTable = std::shared_ptr<RwLocked<ItemTable>>;

// Grows the table to at least `length` slots; new slots are empty (a
// placeholder, as far as is_placeholder is concerned).
void grow_item_table(ItemTable& table, size_t length);

// Object ids are reused: once an object is out of a table and gone, a new
// object may take its id and its slot. The table epoch tells them apart for
// views, which keep ids only. Every removal from a table advances it before
// emptying slots; a view reads it before it reads the members it keeps; a
// slot filled after that removal is stamped with a later epoch than the view.
uint64_t table_epoch() noexcept;
// Call once per removal, under the table's write lock, before its slots are
// emptied.
void advance_table_epoch() noexcept;
// Puts `item` into slot `id` (the table long enough) and returns what the
// slot held. The same object filling its slot again keeps its stamp.
StoredItem fill_slot(ItemTable& table, uint32_t id, StoredItem item);
// Whether the slot holds an object that a view made at `epoch` held (or may
// have held): not the placeholder, and stamped no later than the view.
bool held_since(const StoredItem& slot, uint64_t epoch) noexcept;

}  // namespace tarnwick

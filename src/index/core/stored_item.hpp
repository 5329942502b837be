// One slot of an engine's item table: the object as Python sees it and its
// native record. Holding the item keeps the Python object alive.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "index/core/structures/sync.hpp"
#include "index/indexable_record.hpp"
#include "index/pyref.hpp"

namespace tarnwick {

struct StoredItem {
    PyHandle python_handle;
    std::shared_ptr<IndexableRecord> record;
    // True only for slots filled from a reference the Index class took itself
    // (add_object, add_object_many): nobody else reports that reference to the
    // garbage collector, so the Index does. Every other slot shares its
    // reference with an attribute value or a placeholder.
    bool gc_visible = false;

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

}  // namespace tarnwick

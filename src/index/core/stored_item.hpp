// One slot of an engine's item table: the object as Python sees it and its
// native record. Holding the item keeps the Python object alive.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "index/core/structures/bitmap.hpp"
#include "index/core/structures/sync.hpp"
#include "index/indexable_record.hpp"
#include "index/pyref.hpp"

namespace tarnwick {

struct StoredItem {
    PyHandle python_handle;
    std::shared_ptr<IndexableRecord> record;

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

// fn(id, item) for the slot of every id in `ids` that holds an object, in
// ascending id order, under the table's read lock (a thread that holds the
// GIL waits for it with the GIL released). fn must not run Python code.
template <class F>
void for_each_present_item(const RwLocked<ItemTable>& items, const Bitmap& ids, F&& fn) {
    GilSafeReadGuard<RwLock> guard(items.lock());
    const ItemTable& table = items.get();
    ids.for_each([&](uint32_t id) {
        if (id < table.size() && !table[id].is_placeholder()) fn(id, table[id]);
    });
}

}  // namespace tarnwick

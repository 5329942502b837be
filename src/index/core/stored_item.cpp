#include "index/core/stored_item.hpp"

#include "index/core/structures/alloc_fault.hpp"
#include "index/types.hpp"

namespace tarnwick {

StoredItem StoredItem::placeholder() { return StoredItem{DEFAULT_PY_INDEXABLE_ARC(), DEFAULT_INDEXABLE_ARC()}; }

bool StoredItem::is_placeholder() const noexcept { return !record || record == DEFAULT_INDEXABLE_ARC(); }

void touch_placeholders() {
    (void)DEFAULT_PY_INDEXABLE_ARC();
    (void)DEFAULT_INDEXABLE_ARC();
}

void grow_item_table(ItemTable& table, size_t length) {
    if (table.size() >= length) return;
    alloc_point();
    // Capacity grows geometrically even when callers grow one slot at a time.
    // New slots are left empty, which counts as the placeholder: filling
    // them with copies of it would touch its shared counts once per slot.
    table.resize(length);
}

}  // namespace tarnwick

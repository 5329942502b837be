#include "index/core/stored_item.hpp"

#include <atomic>
#include <utility>

#include "index/core/structures/alloc_fault.hpp"
#include "index/types.hpp"

namespace tarnwick {
namespace {

// One for all tables: only its order matters, and 63 bits do not run out.
std::atomic<uint64_t> epoch{1};

}  // namespace

StoredItem StoredItem::placeholder() { return StoredItem{DEFAULT_PY_INDEXABLE_ARC(), DEFAULT_INDEXABLE_ARC()}; }

bool StoredItem::is_placeholder() const noexcept { return !record || record == DEFAULT_INDEXABLE_ARC(); }

const IndexableRecord* placeholder_record() { return DEFAULT_INDEXABLE_ARC().get(); }

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

uint64_t table_epoch() noexcept { return epoch.load(); }

void advance_table_epoch() noexcept { epoch.fetch_add(1); }

StoredItem fill_slot(ItemTable& table, uint32_t id, StoredItem item) {
    StoredItem& slot = table[id];
    const bool same_object = slot.record && item.record && slot.record->attribute_map == item.record->attribute_map;
    item.joined = same_object ? slot.joined : epoch.load();
    return std::exchange(slot, std::move(item));
}

bool held_since(const StoredItem& slot, uint64_t view_epoch) noexcept {
    return held_since(slot, view_epoch, DEFAULT_INDEXABLE_ARC().get());
}

}  // namespace tarnwick

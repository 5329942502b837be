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

void reserve_item_slot(ItemTable& table, uint32_t id) { (void)table.reserve(id); }

uint64_t table_epoch() noexcept { return epoch.load(); }

void advance_table_epoch() noexcept { epoch.fetch_add(1); }

StoredItem fill_slot(ItemTable& table, uint32_t id, StoredItem item) {
    StoredItem& slot = table.make(id);
    const bool same_object = slot.record && item.record && slot.record == item.record;
    item.joined = same_object ? slot.joined : epoch.load();
    return std::exchange(slot, std::move(item));
}

StoredItem empty_slot(ItemTable& table, uint32_t id) noexcept {
    StoredItem* slot = table.find(id);
    return slot ? std::exchange(*slot, StoredItem{}) : StoredItem{};
}

bool held_since(const StoredItem& slot, uint64_t view_epoch) noexcept {
    return held_since(slot, view_epoch, DEFAULT_INDEXABLE_ARC().get());
}

}  // namespace tarnwick

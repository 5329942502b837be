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

void touch_placeholders() {
    (void)DEFAULT_PY_INDEXABLE_ARC();
    (void)DEFAULT_INDEXABLE_ARC();
}

namespace {

// Whether `item`'s record is the one its Python object holds, so that the
// slot can find the record through the object.
bool record_in_object(const StoredItem& item) noexcept {
    PyObject* obj = item.python_handle.get();
    return obj && is_indexable(obj) && indexable_record(obj) == item.record;
}

}  // namespace

const RecordPtr& ItemTable::record(uint32_t id) const noexcept {
    static const RecordPtr none;
    const ItemSlot& slot = slots_[id];
    if (!slot.occupied()) return none;
    if (!native_records_.empty()) [[unlikely]] {
        auto it = native_records_.find(id);
        if (it != native_records_.end()) return it->second;
    }
    return slot.object ? indexable_record(slot.object) : none;
}

StoredItem ItemTable::item(uint32_t id) const {
    const ItemSlot& slot = slots_[id];
    if (!slot.occupied()) return StoredItem{};
    return StoredItem{slot.python_handle, record(id), slot.joined};
}

void reserve_item_slot(ItemTable& table, uint32_t id) { (void)table.slots_.reserve(id); }

uint64_t table_epoch() noexcept { return epoch.load(); }

void advance_table_epoch() noexcept { epoch.fetch_add(1); }

StoredItem fill_slot(ItemTable& table, uint32_t id, StoredItem item) {
    ItemSlot& slot = table.slots_.make(id);
    RecordPtr previous_record = table.record(id);
    // The one step that can fail comes first, while nothing has changed.
    if (record_in_object(item)) table.native_records_.erase(id);
    else table.native_records_[id] = item.record;
    const bool same_object = previous_record && previous_record == item.record;
    StoredItem previous{std::exchange(slot.python_handle, std::move(item.python_handle)), std::move(previous_record),
                        slot.joined};
    slot.object = slot.python_handle.get();
    slot.joined = same_object ? previous.joined : epoch.load();
    return previous;
}

StoredItem empty_slot(ItemTable& table, uint32_t id) noexcept {
    ItemSlot* slot = table.slots_.find(id);
    if (!slot || !slot->occupied()) return StoredItem{};
    StoredItem previous{PyHandle(), table.record(id), slot->joined};
    table.native_records_.erase(id);
    previous.python_handle = std::move(slot->python_handle);
    slot->object = nullptr;
    slot->joined = 0;
    return previous;
}

}  // namespace tarnwick

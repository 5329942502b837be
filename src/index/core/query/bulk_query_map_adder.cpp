#include "index/core/query/bulk_query_map_adder.hpp"

#include <utility>
#include <vector>


namespace tarnwick {

BulkQueryMapAdder QueryMap::get_bulk_writer() { return BulkQueryMapAdder(*this); }

BulkQueryMapAdder::BulkQueryMapAdder(QueryMap& map)
    : map_(&map),
      strings_(map.strings.lock()),
      numbers_(map.numbers.lock()),
      bools_(map.bools.lock()),
      element_owners_(map.element_owners.lock()),
      element_ids_(map.element_ids.lock()) {}

void BulkQueryMapAdder::insert_str(std::string_view bytes, uint32_t id) {
    map_->strings.get().insert_buffered(bytes, id);
}

void BulkQueryMapAdder::insert_num_ordered(const OrderKey& key, uint32_t id) {
    map_->numbers.get().insert_buffered(key, id);
}

void BulkQueryMapAdder::insert_bool(bool value, uint32_t id) { map_->bools.get().of(value).add_buffered(id); }

void BulkQueryMapAdder::insert_exact(const PyValue& value, uint32_t id) { exact_.emplace_back(value, id); }

void BulkQueryMapAdder::record_elements(const std::vector<uint32_t>& elements, uint32_t owner,
                                        const ContainerItems& items) {
    ElementOwners& owners = map_->element_owners.get();
    for (size_t i = 0; i < elements.size(); ++i) owners.record(elements[i], owner, items[i]);
    map_->element_ids.get().add_many(elements);
}

void BulkQueryMapAdder::insert_items(ContainerItems items, uint32_t owner) {
    insert_items_by_kind(*this, std::move(items), owner);
}

void BulkQueryMapAdder::insert_value(const PyValue& value, ContainerItems items, uint32_t id) {
    insert_by_kind(*this, value, std::move(items), id);
}

void BulkQueryMapAdder::close() {
    if (!is_open()) return;
    map_->numbers.get().flush();
    map_->bools.get().flush();
    map_->strings.get().flush();
    strings_.unlock();
    numbers_.unlock();
    bools_.unlock();
    element_owners_.unlock();
    element_ids_.unlock();
    std::vector<std::pair<PyValue, uint32_t>> exact = std::move(exact_);
    for (const auto& [value, id] : exact) map_->insert_exact(value, id);
}

}  // namespace tarnwick

#include "index/core/query/bulk_query_map_adder.hpp"

#include <utility>
#include <vector>

#include "index/core/index.hpp"
#include "index/core/nested_tasks.hpp"

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
    numbers_pending_.push_back(NumericalBitmap::Entry{key, id});
    if (numbers_pending_.size() >= numbers_pending_limit) flush_numbers();
}

void BulkQueryMapAdder::flush_numbers() {
    if (numbers_pending_.empty()) return;
    map_->numbers.get().insert_many(numbers_pending_);
    numbers_pending_.clear();
}

void BulkQueryMapAdder::insert_bool(bool value, uint32_t id) { map_->bools.get().of(value).add_buffered(id); }

void BulkQueryMapAdder::insert_exact(const PyValue& value, uint32_t id) { exact_.emplace_back(value, id); }

void BulkQueryMapAdder::insert_temporal(const TemporalValue& value, uint32_t id) { temporal_.emplace_back(value, id); }

bool BulkQueryMapAdder::link_nested(const PyValue& child, uint32_t holder) {
    if (!map_->may_link(child, holder)) return false;
    links_.emplace_back(holder, child.nested());
    return true;
}

void BulkQueryMapAdder::link_pending() {
    std::vector<std::pair<uint32_t, StoredIndexable>> links = std::move(links_);
    links_.clear();
    std::vector<StoredIndexable> fresh;
    fresh.reserve(links.size());
    {
        IndexAPI& nested = *map_->nested;
        WriteGuard g(nested.parent_links->lock());
        M2MU32& pairs = nested.parent_links->get();
        for (auto& [holder, child] : links)
            if (pairs.add(holder, child.id())) fresh.push_back(std::move(child));
    }
    defer_nested_adds(map_->nested, std::move(fresh));
}

void BulkQueryMapAdder::record_elements(const std::vector<uint32_t>& elements, uint32_t owner,
                                        const ContainerItems& items) {
    map_->element_owners.get().record_many(elements, owner, items);
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
    flush_numbers();
    numbers_pending_ = {};
    map_->numbers.get().flush();
    map_->bools.get().flush();
    map_->strings.get().flush();
    strings_.unlock();
    numbers_.unlock();
    bools_.unlock();
    element_owners_.unlock();
    element_ids_.unlock();
}

void BulkQueryMapAdder::finish() {
    close();
    std::vector<std::pair<TemporalValue, uint32_t>> temporal = std::move(temporal_);
    if (!temporal.empty()) {
        WriteGuard g(map_->temporals.lock());
        TemporalBitmaps& indexes = map_->temporals.get();
        for (const auto& [value, id] : temporal)
            indexes.get_or_create(static_cast<size_t>(value.kind)).insert(temporal_order_key(value), id);
    }
    if (!links_.empty()) link_pending();
    std::vector<std::pair<PyValue, uint32_t>> exact = std::move(exact_);
    if (!exact.empty()) insert_exact_many(exact);
    if (!linked_.empty()) {
        WriteGuard g(map_->linked_holders.lock());
        map_->linked_holders.get().add_many(linked_);
        linked_.clear();
    }
}

void BulkQueryMapAdder::insert_exact_many(std::vector<std::pair<PyValue, uint32_t>>& exact) {
    // QueryMap::insert_exact of each, but shard by shard: each shard is
    // locked once for all its entries, and the values move into their keys.
    ExactValues& values = map_->exact_values;
    // Each value is hashed once (a text is read through to hash it).
    std::vector<uint64_t> hashes(exact.size());
    std::vector<size_t> first(size_t(values.shard_count()) + 1, 0);
    for (size_t i = 0; i < exact.size(); ++i) {
        hashes[i] = exact[i].first.hash();
        ++first[(shard_hash(hashes[i]) & values.shard_mask()) + 1];
    }
    for (size_t s = 1; s < first.size(); ++s) first[s] += first[s - 1];
    std::vector<size_t> order(exact.size());
    {
        std::vector<size_t> next(first.begin(), first.end() - 1);
        for (size_t i = 0; i < exact.size(); ++i) order[next[shard_hash(hashes[i]) & values.shard_mask()]++] = i;
    }
    for (uint32_t s = 0; s < values.shard_count(); ++s) {
        if (first[s] == first[s + 1]) continue;
        ExactValues::WriteAccess shard(values.shard_at(s));
        for (size_t k = first[s]; k < first[s + 1]; ++k) {
            auto& [value, id] = exact[order[k]];
            alloc_point();
            ExactKey key(std::move(value), hashes[order[k]]);
            auto it = shard->find(key);
            if (it != shard->end()) {
                it->second.add(id);
            } else {
                shard->emplace(std::move(key), HybridSet::with_id(id));
            }
        }
    }
}

}  // namespace tarnwick

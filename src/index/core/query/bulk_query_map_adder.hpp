// A writer that holds one QueryMap locked while a batch of values goes in.
//
// It takes the write locks of the map's strings, numbers, bools,
// element_owners and element_ids once for the whole batch, and collects
// string, number and boolean ids in the structures' write buffers, which are
// added to their bitmaps in bulk. Closing the writer flushes every buffer
// before the locks are released, so no reader ever sees a buffered id missing.
// exact_values, temporals and the nested engine stay available to others:
// whole values go through the map's own insert_exact and insert_indexable, the
// exact entries and the temporal values only once the five locks are released
// (a reader holds an exact_values shard, or temporals, while it maps element
// ids to owners, so a writer must never wait for either while it holds
// element_ids). With several writers open, that means once every one of them
// is closed: finishing one while another still holds its map's locks could
// wait for a reader that waits for a second thread's writer, which waits for
// those locks.
//
// While a thread holds writers, it must not call anything on those maps that
// takes one of the five locks (unbuffered insertion, removal, unmask_ids, the
// match operators).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

#include "index/core/query/query_map.hpp"

namespace tarnwick {

class BulkQueryMapAdder {
public:
    // Takes the five write locks, in the order strings, numbers, bools,
    // element_owners, element_ids.
    explicit BulkQueryMapAdder(QueryMap& map);
    BulkQueryMapAdder(BulkQueryMapAdder&&) noexcept = default;
    BulkQueryMapAdder& operator=(BulkQueryMapAdder&&) = delete;
    BulkQueryMapAdder(const BulkQueryMapAdder&) = delete;
    BulkQueryMapAdder& operator=(const BulkQueryMapAdder&) = delete;
    ~BulkQueryMapAdder() {
        try {
            finish();
        } catch (...) {
            // Only an allocation failure gets here, while unwinding already.
        }
    }

    void insert_str(std::string_view bytes, uint32_t id);
    void insert_num_ordered(const OrderKey& key, uint32_t id);
    void insert_bool(bool value, uint32_t id);
    // Whole values and temporal values wait for finish().
    void insert_exact(const PyValue& value, uint32_t id);
    void insert_temporal(const TemporalValue& value, uint32_t id);
    // Holders of linked nested objects wait for finish() too, and go into
    // linked_holders at once.
    void note_linked(uint32_t holder) { linked_.push_back(holder); }
    // A nested object held directly: checked now (QueryMap::may_link), then
    // linked in the nested engine with the others of the batch under one
    // hold of its links, and the new ones queued there as one batch, at
    // finish(). Whether it will be linked.
    bool link_nested(const PyValue& child, uint32_t holder);
    void record_elements(const std::vector<uint32_t>& elements, uint32_t owner, const ContainerItems& items);
    void insert_items(ContainerItems items, uint32_t owner);
    // Any value, by kind; `items` are the converted items of a container value.
    void insert_value(const PyValue& value, ContainerItems items, uint32_t id);

    // Flushes numbers (slice by slice), bools (True, then False) and strings
    // (position by position), then releases the locks in the order they were
    // taken. Closing twice does nothing.
    void close();
    // Closes, then records the temporal and whole values of the batch (once).
    // A thread holding several writers closes them all before it finishes
    // any.
    void finish();
    bool is_open() const noexcept { return strings_.owns_lock(); }

    QueryMap& map() const noexcept { return *map_; }

    // Numbers wait in the writer and go into the key slices this many at a
    // time, each slice written once per group (NumericalBitmap::insert_many).
    static constexpr size_t numbers_pending_limit = size_t(1) << 16;

private:
    void flush_numbers();
    // Links the nested objects of link_nested in the nested engine and
    // queues the new ones there.
    void link_pending();
    // Records the whole values of the batch; empties their values.
    void insert_exact_many(std::vector<std::pair<PyValue, uint32_t>>& exact);

    QueryMap* map_;
    WriteGuard strings_;
    WriteGuard numbers_;
    WriteGuard bools_;
    WriteGuard element_owners_;
    WriteGuard element_ids_;
    // Whole values and temporal values (and the ids they go under) waiting
    // for finish().
    std::vector<std::pair<PyValue, uint32_t>> exact_;
    std::vector<std::pair<TemporalValue, uint32_t>> temporal_;
    std::vector<uint32_t> linked_;
    std::vector<std::pair<uint32_t, StoredIndexable>> links_;
    std::vector<NumericalBitmap::Entry> numbers_pending_;
};

}  // namespace tarnwick

// A small reference model of what one attribute's value index must answer:
// every object holds either one scalar from a fixed table or a container of
// table entries, and a probe matches the objects holding it either way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include "engine_support.hpp"
#include "index/core/query/container_items.hpp"

namespace tarnwick::testing {

// Scalars no two of which share a sub-index entry: ints, floats that equal no
// int, strings that are prefixes of each other (and the empty one), booleans,
// temporal values of two kinds.
const std::vector<PyValue>& probe_table();

// One object's value: a table entry, or a container of table entries.
struct ModelValue {
    std::optional<size_t> scalar;
    std::vector<size_t> items;

    static ModelValue of_scalar(size_t entry) { return ModelValue{entry, {}}; }
    static ModelValue of_items(std::vector<size_t> entries) { return ModelValue{std::nullopt, std::move(entries)}; }

    PyValue value() const;
    // The converted items the map receives for a container; `nested_marker`
    // adds the entry of a nested container in front, which carries no value.
    ContainerItems container_items(bool nested_marker) const;
    bool holds(size_t entry) const;
    // The value as attribute assignment stores it: a container becomes a
    // Python list (its last entry inside a nested list), which the engine
    // converts itself. Takes the GIL for a container.
    PyValue python_value() const;
};

// A value chosen from (object, step) so that every thread replays the same
// history without coordination.
ModelValue scheduled_value(uint32_t object, uint32_t step);

class MapModel {
public:
    void set(uint32_t id, ModelValue v) { values_.insert_or_assign(id, std::move(v)); }
    void erase(uint32_t id) { values_.erase(id); }
    Bitmap expected(size_t entry) const;
    size_t item_count() const;

private:
    std::map<uint32_t, ModelValue> values_;
};

// Inserts or removes a model value through the map's single-value calls.
void insert_model_value(QueryMap& map, const ModelValue& v, uint32_t id);
void remove_model_value(QueryMap& map, const ModelValue& v, uint32_t id);

// Checks every probe against the model.
void expect_map_matches(const QueryMap& map, const MapModel& model);

// After the maps that issued element ids are gone: a double free would hand
// the same id out twice, and a live object's id must never come back.
void expect_free_ids_distinct(const Bitmap& live_objects);

}  // namespace tarnwick::testing

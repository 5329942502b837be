// Direct reads of an engine's structures, for the test suite's private hooks
// of the Index class: what was indexed, without going through the query
// language. A path names the attribute in the engine, then attributes in the
// nested engines below it, outermost first. Every function runs with the GIL
// released and no native lock held.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "index/core/structures/bitmap.hpp"
#include "index/value.hpp"

namespace tarnwick {

class IndexAPI;

using AttributePath = std::vector<std::string>;

// The objects of `engine` whose attribute at `path` equals `value`: matched in
// the innermost map, then mapped up through members and holders as a nested
// query is.
Bitmap inspect_equal(const std::shared_ptr<IndexAPI>& engine, const AttributePath& path, const PyValue& value);

// The members of the nested engine of the attribute at `path` (none if the
// path leads to no map).
Bitmap inspect_nested_members(const std::shared_ptr<IndexAPI>& engine, const AttributePath& path);

// The holders linked to `child` in the nested engine of the attribute at
// `path`.
Bitmap inspect_holders(const std::shared_ptr<IndexAPI>& engine, const AttributePath& path, uint32_t child);

struct MapStats {
    uint64_t elements = 0;
    uint64_t element_owners = 0;
    uint64_t owners = 0;
    uint64_t exact_values = 0;
    uint64_t nested_members = 0;
    uint64_t links = 0;
};

// Counts of the map of the attribute at `path`; nothing when there is none.
std::optional<MapStats> inspect_map_stats(const std::shared_ptr<IndexAPI>& engine, const AttributePath& path);

}  // namespace tarnwick

#include "index/core/index_inspection.hpp"

#include <utility>

#include "index/core/index.hpp"
#include "index/core/query/query_eval.hpp"
#include "index/core/query/query_map.hpp"
#include "index/core/structures/string_interner.hpp"

namespace tarnwick {
namespace {

// The maps along a path, each with its engine, read-locked from the
// outermost inwards for as long as the chain lives.
class MapChain {
public:
    struct Level {
        std::shared_ptr<IndexAPI> engine;
        QueryMap* map;
    };

    MapChain(std::shared_ptr<IndexAPI> top, const AttributePath& names) {
        std::shared_ptr<IndexAPI> engine = std::move(top);
        InternerSnapshot interned = INTERNER().snapshot();
        for (const std::string& name : names) {
            std::optional<uint32_t> attribute = interned->get(name);
            if (!attribute) return;
            guards_.emplace_back(engine->query_maps->lock());
            QueryMap* map = IndexAPI::map_at(engine->query_maps->get(), *attribute);
            if (!map) return;
            levels_.push_back(Level{engine, map});
            engine = map->nested;
        }
        complete_ = true;
    }

    // The innermost map, if the whole path led to maps.
    const QueryMap* last() const noexcept { return complete_ ? levels_.back().map : nullptr; }
    const std::vector<Level>& levels() const noexcept { return levels_; }

private:
    std::vector<ReadGuard> guards_;
    std::vector<Level> levels_;
    bool complete_ = false;
};

}  // namespace

Bitmap inspect_equal(const std::shared_ptr<IndexAPI>& engine, const AttributePath& path, const PyValue& value) {
    MapChain chain(engine, path);
    if (!chain.last()) return Bitmap();
    const auto& levels = chain.levels();
    Bitmap result = ops::eq(*chain.last(), value);
    // Back up the chain: members of each engine, then their holders one level
    // up, as a nested query does.
    for (size_t i = levels.size(); i-- > 0;) {
        result &= levels[i].engine->members();
        if (i == 0) break;
        result = levels[i].engine->get_parent_from_ids(result);
        levels[i - 1].map->unmask_ids(result);
    }
    return result;
}

Bitmap inspect_nested_members(const std::shared_ptr<IndexAPI>& engine, const AttributePath& path) {
    MapChain chain(engine, path);
    return chain.last() ? chain.last()->nested->members() : Bitmap();
}

Bitmap inspect_holders(const std::shared_ptr<IndexAPI>& engine, const AttributePath& path, uint32_t child) {
    MapChain chain(engine, path);
    return chain.last() ? chain.last()->nested->get_parent_from_ids(Bitmap{child}) : Bitmap();
}

std::optional<MapStats> inspect_map_stats(const std::shared_ptr<IndexAPI>& engine, const AttributePath& path) {
    MapChain chain(engine, path);
    const QueryMap* map = chain.last();
    if (!map) return std::nullopt;
    MapStats stats;
    {
        ReadGuard g(map->element_owners.lock());
        stats.element_owners = map->element_owners.get().size();
        stats.owners = map->element_owners.get().owner_count();
    }
    {
        ReadGuard g(map->element_ids.lock());
        stats.elements = map->element_ids.get().cardinality();
    }
    stats.exact_values = map->exact_values.size();
    stats.nested_members = map->nested->member_count();
    ReadGuard g(map->nested->parent_links->lock());
    stats.links = map->nested->parent_links->get().pair_count();
    return stats;
}

}  // namespace tarnwick

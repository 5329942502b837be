// A view of an engine: a fixed set of object ids over the engine's value
// indexes and item table, which it shares (and keeps alive). Later changes to
// the engine show through the tables; the ids never change.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "index/core/query/query_eval.hpp"
#include "index/core/query/query_expr.hpp"
#include "index/core/stored_item.hpp"
#include "index/core/structures/bitmap.hpp"
#include "index/core/structures/sync.hpp"

namespace tarnwick {

struct FilteredView {
    std::shared_ptr<RwLocked<QueryMapTable>> query_maps;
    SharedItemTable items;
    Bitmap ids;
    // The table epoch read before `ids` were: an id whose slot was filled
    // later names an object the view never held (held_since).
    uint64_t epoch = 0;

    // Narrower views: the objects of this one that pass the test, evaluated
    // against the engine's current values, complements taken within `ids`.
    // GIL released, no native lock held.
    FilteredView reduced(const KeywordQuery& conditions) const;
    FilteredView reduced_query(const QueryExpr& query) const;
};

}  // namespace tarnwick

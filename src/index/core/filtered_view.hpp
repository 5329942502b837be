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
#include "index/core/structures/snapshot_bitmap.hpp"
#include "index/core/structures/sync.hpp"

namespace tarnwick {

struct FilteredView {
    std::shared_ptr<RwLocked<QueryMapTable>> query_maps;
    SharedItemTable items;
    Bitmap ids;
    // The table epoch read before `ids` were: an id whose slot was filled
    // later names an object the view never held (held_since).
    uint64_t epoch = 0;
    // The engine's member ids (shared, with their own lock): an object taken
    // out of the engine since the view was made is no longer in the view.
    std::shared_ptr<SnapshotBitmap> members;

    // The ids of the view whose objects are still members, and their number,
    // from bitmaps alone. Callable with or without the GIL.
    Bitmap present() const;
    // The ids of the view that are still members, the slots left unread: a
    // slot may since hold an object the view never held, so this is for
    // readers that check each slot against `epoch` themselves
    // (for_each_present_item). Callable with or without the GIL.
    Bitmap still_members() const;
    uint64_t present_count() const;
    // Whether `obj` is the object of one of the present ids. GIL held.
    bool holds(uint32_t id, const PyObject* obj) const;

    // Narrower views: the objects of this one that pass the test, evaluated
    // against the engine's current values, complements taken within `ids`.
    // GIL released, no native lock held.
    FilteredView reduced(const KeywordQuery& conditions) const;
    FilteredView reduced_query(const QueryExpr& query) const;
};

}  // namespace tarnwick

// Reductions of an engine (declared in index.hpp): views of the objects that
// satisfy a condition, and the in-place restriction of the engine (and of its
// nested engines) to a set of objects.
#include <iterator>
#include <utility>
#include <vector>

#include "index/core/index.hpp"
#include "index/core/query/query_map.hpp"
#include "index/core/query/query_eval.hpp"
#include "index/core/query/query_expr.hpp"

namespace tarnwick {
namespace {

// The restriction below works by taking `removed` out of every structure
// rather than by keeping a set: objects added or values assigned meanwhile by
// other threads are then left alone. Under a structure's write lock no id
// waits in a write buffer (writers flush before they unlock).

void drop_exact(ExactValues& exact, const Bitmap& removed) {
    exact.for_each_shard_write([&removed](ExactValues::Map& shard) {
        std::vector<uint32_t> gone;
        for (auto it = shard.begin(); it != shard.end();) {
            HybridSet& set = it->second;
            if (const Bitmap* ids = set.bitmap()) {
                if (ids->intersects(removed)) set.retain(*ids - removed);
            } else {
                gone.clear();
                set.for_each([&](uint32_t id) {
                    if (removed.contains(id)) gone.push_back(id);
                });
                for (uint32_t id : gone) set.remove(id);
            }
            // An entry nobody holds would keep its value alive for nothing.
            it = set.empty() ? shard.erase(it) : std::next(it);
        }
    });
}

void drop_strings(RwLocked<PositionalBitmap>& strings, const Bitmap& removed) {
    WriteGuard g(strings.lock());
    PositionalBitmap& s = strings.get();
    Bitmap present = s.all_strings();
    if (present.intersects(removed)) s.retain(present - removed);
}

void drop_numbers(RwLocked<NumericalBitmap>& numbers, const Bitmap& removed) {
    WriteGuard g(numbers.lock());
    NumericalBitmap& n = numbers.get();
    // Every id has its key's lowest bit in one of the two halves of slice 0.
    const auto& lowest = n.slices()[0];
    Bitmap present = lowest[0].bitmap() | lowest[1].bitmap();
    if (present.intersects(removed)) n.retain(present - removed);
}

void drop_temporals(RwLocked<TemporalBitmaps>& temporals, const Bitmap& removed) {
    WriteGuard g(temporals.lock());
    temporals.get().drop(removed);
}

void drop_bools(RwLocked<BoolBitmaps>& bools, const Bitmap& removed) {
    WriteGuard g(bools.lock());
    for (BoolBitmaps::Element& set : bools.get().sets) {
        set.flush();
        set.bitmap() -= removed;
    }
}

}  // namespace

// ---- engine reductions -------------------------------------------------------------

FilteredView IndexAPI::view_of(Bitmap ids, uint64_t epoch) const {
    return FilteredView{query_maps, items, std::move(ids), epoch, member_ids};
}

FilteredView IndexAPI::reduced(const KeywordQuery& conditions) const {
    const std::vector<QueryExpr> tests = equality_tests(conditions);
    const uint64_t epoch = table_epoch();
    Bitmap result;
    {
        ReadGuard maps(query_maps->lock());
        QueryReadHold values(query_maps->get(), tests);
        NestedAnswers nested(query_maps->get(), tests);
        result = evaluate_and_queries_vec(query_maps->get(), *member_snapshot(), tests);
    }
    return view_of(std::move(result), epoch);
}

FilteredView IndexAPI::reduced_query(const QueryExpr& query) const {
    const uint64_t epoch = table_epoch();
    Bitmap result;
    {
        ReadGuard maps(query_maps->lock());
        const std::shared_ptr<const Bitmap> snapshot = member_snapshot();
        const Bitmap& universe = *snapshot;
        QueryReadHold values(query_maps->get(), std::span(&query, 1));
        NestedAnswers nested(query_maps->get(), std::span(&query, 1));
        result = evaluate_query(query_maps->get(), universe, query);
        // Or, Eq and the other tests that ignore the universe can name ids
        // that are not (or no longer) members.
        result &= universe;
    }
    return view_of(std::move(result), epoch);
}

std::vector<Bitmap> IndexAPI::reduced_query_ids(std::span<const QueryExpr> queries) const {
    std::vector<Bitmap> out;
    out.reserve(queries.size());
    ReadGuard maps(query_maps->lock());
    const std::shared_ptr<const Bitmap> snapshot = member_snapshot();
    const Bitmap& universe = *snapshot;
    QueryReadHold values(query_maps->get(), queries);
    NestedAnswers nested(query_maps->get(), queries);
    for (const QueryExpr& query : queries) {
        Bitmap found = evaluate_query(query_maps->get(), universe, query);
        found &= universe;
        out.push_back(std::move(found));
    }
    return out;
}

void IndexAPI::reduce(const KeywordQuery& conditions) {
    const std::vector<QueryExpr> tests = equality_tests(conditions);
    WriteGuard changing(changes_);
    // One read lock for evaluation and restriction: taking it a second time
    // could queue this thread behind a writer waiting for the first.
    ReadGuard maps(query_maps->lock());
    Bitmap keep;
    {
        QueryReadHold values(query_maps->get(), tests);
        NestedAnswers nested(query_maps->get(), tests);
        keep = evaluate_and_queries_vec(query_maps->get(), *member_snapshot(), tests);
    }
    keep_only_locked(query_maps->get(), keep);
}

void IndexAPI::keep_only_from_bitmap(const Bitmap& keep) {
    WriteGuard changing(changes_);
    ReadGuard maps(query_maps->lock());
    keep_only_locked(query_maps->get(), keep);
}

// The caller holds changes_ exclusively and query_maps for reading.
void IndexAPI::keep_only_locked(const QueryMapTable& table, const Bitmap& keep) {
    Bitmap removed;
    {
        WriteGuard g(member_ids->lock());
        removed = member_ids->get() - keep;
        member_ids->edit() -= removed;
    }
    if (!removed.empty()) drop_locked(table, removed);
}

void IndexAPI::drop_locked(const QueryMapTable& table, const Bitmap& removed) {
    {
        WriteGuard g(private_values_.lock());
        for (auto& [attribute, ids] : private_values_.get()) ids -= removed;
    }
    // Nested engines whose holders lost objects, handled one at a time (a
    // chain of nested objects can nest engines very deep): each is
    // restricted to the objects still linked to a holder.
    std::vector<IndexAPI*> nested_pending;
    drop_from_maps(table, removed, nested_pending);
    while (!nested_pending.empty()) {
        IndexAPI* engine = nested_pending.back();
        nested_pending.pop_back();
        WriteGuard changing(engine->changes_);
        ReadGuard maps(engine->query_maps->lock());
        Bitmap unlinked = engine->take_out_unlinked();
        if (!unlinked.empty()) engine->drop_from_maps(engine->query_maps->get(), unlinked, nested_pending);
    }
}

void IndexAPI::drop_from_maps(const QueryMapTable& table, const Bitmap& removed, std::vector<IndexAPI*>& nested_pending) {
    for (const std::unique_ptr<QueryMap>& slot : table) {
        if (!slot) continue;
        QueryMap& map = *slot;
        // The items of the removed objects' containers leave by element id;
        // those of kept objects stay.
        map.remove_elements_of_owners(removed);
        drop_exact(map.exact_values, removed);
        drop_strings(map.strings, removed);
        drop_numbers(map.numbers, removed);
        drop_bools(map.bools, removed);
        drop_temporals(map.temporals, removed);
        // The maps, and so their nested engines, live as long as this engine,
        // which the caller keeps alive.
        if (map.nested->drop_holders(removed)) nested_pending.push_back(map.nested.get());
        {
            WriteGuard g(map.self_holders.lock());
            map.self_holders.get() -= removed;
        }
        {
            WriteGuard g(map.linked_holders.lock());
            map.linked_holders.get() -= removed;
        }
    }
    std::vector<StoredItem> released;
    {
        WriteGuard g(items->lock());
        ItemTable& table_items = items->get();
        advance_table_epoch();
        removed.for_each([&](uint32_t id) {
            released.push_back(empty_slot(table_items, id));
        });
    }
}

bool IndexAPI::drop_holders(const Bitmap& removed) {
    WriteGuard g(parent_links->lock());
    M2MU32& links = parent_links->get();
    Bitmap holders = links.lefts();
    if (!holders.intersects(removed)) return false;
    links.retain_lefts(holders - removed);
    return true;
}

Bitmap IndexAPI::take_out_unlinked() {
    Bitmap unlinked;
    WriteGuard g(member_ids->lock());
    {
        ReadGuard links(parent_links->lock());
        unlinked = member_ids->get() - parent_links->get().rights();
    }
    member_ids->edit() -= unlinked;
    return unlinked;
}

}  // namespace tarnwick

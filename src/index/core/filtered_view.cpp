#include "index/core/filtered_view.hpp"

#include <span>
#include <utility>
#include <vector>

#include "index/core/query/query_eval.hpp"
#include "index/core/query/query_map.hpp"

namespace tarnwick {

// The members among the ids; when an object left some table since the view
// was made (the epoch moved), a slot may since hold an object the view never
// held, and the slots of the members decide.
Bitmap FilteredView::still_members() const {
    if (!members) return ids.clone();
    GilSafeReadGuard<RwLock> g(members->lock());
    return ids & members->get();
}

Bitmap FilteredView::present() const {
    Bitmap out = still_members();
    if (table_epoch() == epoch) return out;
    std::vector<uint32_t> stale;
    {
        GilSafeReadGuard<RwLock> g(items->lock());
        const ItemTable& table = items->get();
        out.for_each([&](uint32_t id) {
            if (id >= table.size() || !held_since(table[id], epoch)) stale.push_back(id);
        });
    }
    for (uint32_t id : stale) out.remove(id);
    return out;
}

uint64_t FilteredView::present_count() const {
    if (members && table_epoch() == epoch) {
        GilSafeReadGuard<RwLock> g(members->lock());
        return ids.and_cardinality(members->get());
    }
    return present().cardinality();
}

bool FilteredView::holds(uint32_t id, const PyObject* obj) const {
    if (!ids.contains(id)) return false;
    if (members) {
        GilSafeReadGuard<RwLock> g(members->lock());
        if (!members->get().contains(id)) return false;
    }
    return slot_holds(*items, id, obj, epoch);
}

FilteredView FilteredView::reduced(const KeywordQuery& conditions) const {
    const std::vector<QueryExpr> tests = equality_tests(conditions);
    ReadGuard maps(query_maps->lock());
    QueryReadHold values(query_maps->get(), tests);
    NestedAnswers nested(query_maps->get(), tests);
    return FilteredView{query_maps, items, evaluate_and_queries_vec(query_maps->get(), ids, tests), epoch, members};
}

FilteredView FilteredView::reduced_query(const QueryExpr& query) const {
    ReadGuard maps(query_maps->lock());
    Bitmap result;
    {
        QueryReadHold values(query_maps->get(), std::span(&query, 1));
        NestedAnswers nested(query_maps->get(), std::span(&query, 1));
        result = evaluate_query(query_maps->get(), ids, query);
    }
    result &= ids;
    return FilteredView{query_maps, items, std::move(result), epoch, members};
}

}  // namespace tarnwick

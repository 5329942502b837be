#include "index/core/filtered_view.hpp"

#include <span>
#include <utility>
#include <vector>

#include "index/core/query/query_eval.hpp"
#include "index/core/query/query_map.hpp"

namespace tarnwick {

FilteredView FilteredView::reduced(const KeywordQuery& conditions) const {
    const std::vector<QueryExpr> tests = equality_tests(conditions);
    ReadGuard maps(query_maps->lock());
    QueryReadHold values(query_maps->get(), tests);
    return FilteredView{query_maps, items, evaluate_and_queries_vec(query_maps->get(), ids, tests), epoch};
}

FilteredView FilteredView::reduced_query(const QueryExpr& query) const {
    ReadGuard maps(query_maps->lock());
    Bitmap result;
    {
        QueryReadHold values(query_maps->get(), std::span(&query, 1));
        result = evaluate_query(query_maps->get(), ids, query);
    }
    result &= ids;
    return FilteredView{query_maps, items, std::move(result), epoch};
}

}  // namespace tarnwick

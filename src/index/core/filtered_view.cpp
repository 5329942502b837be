#include "index/core/filtered_view.hpp"

#include <utility>
#include <vector>

#include "index/core/query/query_eval.hpp"

namespace tarnwick {

FilteredView FilteredView::reduced(const KeywordQuery& conditions) const {
    const std::vector<QueryExpr> tests = equality_tests(conditions);
    ReadGuard maps(query_maps->lock());
    return FilteredView{query_maps, items, evaluate_and_queries_vec(query_maps->get(), ids, tests)};
}

FilteredView FilteredView::reduced_query(const QueryExpr& query) const {
    ReadGuard maps(query_maps->lock());
    Bitmap result = evaluate_query(query_maps->get(), ids, query);
    result &= ids;
    return FilteredView{query_maps, items, std::move(result)};
}

}  // namespace tarnwick

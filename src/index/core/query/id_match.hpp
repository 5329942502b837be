// Per-object tests of a query tree: which of a handful of objects satisfy a
// query, read from the value index one object at a time instead of by
// evaluating the query over everything (what a watch needs after a change
// to one object).
//
// The answer agrees with evaluate_query (query_eval.hpp) restricted to the
// candidates: the same kinds, NaN rules, container items and dotted paths.
// Locks are taken as evaluation takes them: the caller holds the table's
// read lock and the replacing locks of the maps the query tests
// (QueryReadHold); each test read-locks one structure of a map at a time.
// No GIL needed.
#pragma once

#include "index/core/query/query_eval.hpp"

namespace tarnwick {

// The ids of `candidates` (object ids, few of them) that satisfy `query`.
// A between test with a bound of no ordered kind throws
// QueryNotImplemented, as evaluation does, once the map exists.
Bitmap match_among(const QueryMapTable& table, const Bitmap& candidates, const QueryExpr& query);

}  // namespace tarnwick

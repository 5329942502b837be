// Evaluation of query trees against an engine's value indexes, and the match
// operators on one attribute.
//
// A query is evaluated against an engine's table of value indexes (slot i is
// the map of the attribute whose interned name id is i; null when no object
// ever had it) within a universe: the ids among which complements are taken.
// The caller holds the table's read lock for the whole evaluation; each
// operator read-locks the structures of one map, one at a time. Evaluation
// runs without the GIL and changes nothing, except that every attribute name
// a query mentions is interned.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <stdexcept>
#include <vector>

#include "index/core/query/query_expr.hpp"
#include "index/core/structures/bitmap.hpp"
#include "index/value.hpp"

namespace tarnwick {

class QueryMap;
// An engine's value indexes: slot i is the map of the attribute whose
// interned name id is i; a null slot stands for an empty map.
using QueryMapTable = std::vector<std::unique_ptr<QueryMap>>;


// Raised by a between test whose bound is of no ordered kind, on an attribute
// some object has; the whole evaluation stops and nothing is returned.
class QueryNotImplemented : public std::logic_error {
public:
    QueryNotImplemented() : std::logic_error("not yet implemented") {}
};

namespace ops {

// The match operators on one attribute. Each returns object ids (element
// ids of container items are mapped to their holders). A value of a kind an
// operator does not handle matches nothing. NaN is unordered: it equals
// nothing and never passes a range test, as in Python.
Bitmap eq(const QueryMap& map, const PyValue& value);
// The same among the ids of `within` (object and element ids) only, also
// giving the element ids that were mapped to their holders.
Bitmap eq(const QueryMap& map, const PyValue& value, const Bitmap& within, Bitmap& elements);
// The ids of `within` whose own value (not an item of it) equals `value`,
// at a cost that follows `within` where the index allows.
Bitmap eq_among(const QueryMap& map, const PyValue& value, const Bitmap& within);
// Ranges return ids of `universe` only (or holders of container items within
// range); the comparisons are exact across ints and floats, and a date, time
// or duration bound compares only with values of its own temporal kind.
Bitmap gt(const QueryMap& map, const PyValue& value, const Bitmap& universe);
Bitmap ge(const QueryMap& map, const PyValue& value, const Bitmap& universe);
Bitmap lt(const QueryMap& map, const PyValue& value, const Bitmap& universe);
Bitmap le(const QueryMap& map, const PyValue& value, const Bitmap& universe);
// Both bounds inclusive; throws QueryNotImplemented unless both are of an
// ordered kind (numbers or temporal values). Bounds of two different kinds
// match nothing.
Bitmap bt(const QueryMap& map, const PyValue& lower, const PyValue& upper, const Bitmap& universe);
// With `within`, ids outside it may be left out of the result (it is meant
// for a conjunction, which keeps only those anyway).
Bitmap starts_with(const QueryMap& map, const PyValue& value, const Bitmap* within = nullptr);
Bitmap ends_with(const QueryMap& map, const PyValue& value, const Bitmap* within = nullptr);
Bitmap contains(const QueryMap& map, const PyValue& value, const Bitmap* within = nullptr);

}  // namespace ops

// The ids that satisfy `query`. Not and Ne complement within `universe`;
// other tests may return ids outside it (callers that need a subset
// intersect).
Bitmap evaluate_query(const QueryMapTable& table, const Bitmap& universe, const QueryExpr& query);

// The conjunction of `queries`, a subset of `universe`: members run smallest
// first as far as stored cardinalities tell (the others after them, in
// ascending conjunction rank), each within the running intersection.
Bitmap evaluate_and_queries_vec(const QueryMapTable& table, const Bitmap& universe,
                                std::span<const QueryExpr> queries);

// A single test whose path starts below `map` (the path holds only the part
// after the attribute of `map`): evaluated in the map's nested engine, and
// mapped back to the objects that hold the matching nested objects; for the
// objects of `universe` that hold themselves in the attribute, evaluated on
// them in `table` (the table of the map's engine, which the caller reads).
// `known`, when given, is what the nested engine answered for `query`
// beforehand (NestedAnswers), already mapped to holders.
Bitmap evaluate_nested_query(const QueryMapTable& table, const Bitmap& universe, const QueryMap& map,
                             const QueryExpr& query, const Bitmap* known = nullptr);

// The answers of the nested engines to every test of a query whose path goes
// through one, asked before the query is evaluated: all tests through one
// nested engine are answered in one call, under one hold of that engine's
// replacement locks, so that two tests of one query on one nested path see
// the same value of an object that changes meanwhile (never its old value in
// one and its new value in the other). Make it after the query's own
// QueryReadHold and before evaluating; it holds no lock once made. While it
// lives, evaluation on this thread takes those answers from it.
class NestedAnswers {
public:
    NestedAnswers(const QueryMapTable& table, std::span<const QueryExpr> queries);
    ~NestedAnswers();
    NestedAnswers(const NestedAnswers&) = delete;
    NestedAnswers& operator=(const NestedAnswers&) = delete;

    // The holders that match the dotted test `leaf` (a node of the query
    // tree), or null if it was not answered here.
    static const Bitmap* of(const void* leaf) noexcept;

private:
    std::vector<std::pair<const void*, Bitmap>> answers_;
    const NestedAnswers* outer_;
};

}  // namespace tarnwick

#include "index/core/query/query_eval.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>

#include "index/core/index.hpp"
#include "index/core/query/query_map.hpp"
#include "index/core/stack_room.hpp"
#include "index/core/structures/string_interner.hpp"

namespace tarnwick {
namespace {

// fn(the ids stored under the whole value, null if none) under the read lock
// of its exact_values shard.
template <class F>
auto with_exact_ids(const QueryMap& map, const PyValue& value, F fn) {
    const ExactKey key(value);
    auto shard = map.exact_values.read_shard(key);
    auto it = shard->find(key);
    return fn(it == shard->end() ? nullptr : &it->second);
}

// Ranges read only object ids of the universe, but the items of container
// values are indexed under element ids, which no universe holds: widen the
// base by them, or a range could never match an item while equality does.
// Without container items the universe itself is the base.
class RangeBase {
public:
    RangeBase(const QueryMap& map, const Bitmap& universe) : base_(&universe) {
        ReadGuard g(map.element_ids.lock());
        const Bitmap& elements = map.element_ids.get();
        if (elements.empty()) return;
        widened_ = universe | elements;
        base_ = &widened_;
    }
    const Bitmap& get() const noexcept { return *base_; }
    // Whether results may hold ids outside the universe (holders of items).
    bool widened() const noexcept { return base_ == &widened_; }

private:
    const Bitmap* base_;
    Bitmap widened_;
};

// NaN keys sort beyond the infinity of their sign, so a range open towards
// that side would take them in; NaN is unordered. Only ids whose key shares
// that infinity's header can be NaN, and most indexes hold none.
void drop_nans(const NumericalBitmap& numbers, Bitmap& out, bool above) {
    const double inf = std::numeric_limits<double>::infinity();
    const OrderKey edge = order_key_float(above ? inf : -inf);
    if (out.empty() || !numbers.holds_header(edge.header)) return;
    Bitmap nans;
    if (above) GET_GT_FN()(numbers, edge, nans, out);
    else GET_LT_FN()(numbers, edge, nans, out);
    out -= nans;
}

// Runs scan(index, key) on the ordered index of the kind of `t`, if the map
// has one, under the temporals read lock, and unmasks `out` (which the scan
// fills) before the lock goes.
template <class Scan>
void scan_temporal(const QueryMap& map, const TemporalValue& t, Bitmap& out, Scan scan) {
    ReadGuard g(map.temporals.lock());
    const NumericalBitmap* index = map.temporals.get().find(static_cast<size_t>(t.kind));
    if (!index) return;
    scan(*index, temporal_order_key(t));
    map.unmask_ids(out);
}

// The ids of `universe` (or holders of items within range) whose value lies
// in [low, high]; bounds of two kinds match nothing.
Bitmap temporal_between(const QueryMap& map, const TemporalValue& low, const TemporalValue& high,
                        const Bitmap& universe) {
    if (low.kind != high.kind || high < low) return Bitmap();
    const RangeBase base(map, universe);
    Bitmap out;
    scan_temporal(map, low, out, [&](const NumericalBitmap& index, const OrderKey& low_key) {
        index.get_between_into_base(low_key, temporal_order_key(high), out, base.get());
    });
    if (base.widened()) out &= universe;
    return out;
}

enum class Side { Above, Below };

Bitmap compare(const QueryMap& map, const PyValue& value, const Bitmap& universe, CompareIntoBaseFn fn, Side side) {
    const CastValue& p = value.primitive;
    if (p.is_temporal()) {
        const RangeBase base(map, universe);
        Bitmap out;
        scan_temporal(map, p.as_temporal(), out, [&](const NumericalBitmap& index, const OrderKey& key) {
            fn(index, key, out, base.get());
        });
        if (base.widened()) out &= universe;
        return out;
    }
    std::optional<OrderKey> key = order_key_of(p);
    if (!key || is_nan(p)) return Bitmap();
    const RangeBase base(map, universe);
    Bitmap out;
    {
        ReadGuard g(map.numbers.lock());
        const NumericalBitmap& numbers = map.numbers.get();
        fn(numbers, *key, out, base.get());
        drop_nans(numbers, out, side == Side::Above);
        map.unmask_ids(out);
    }
    if (base.widened()) out &= universe;
    return out;
}

template <class Match>
Bitmap match_string(const QueryMap& map, const PyValue& value, const Bitmap* within, Match match) {
    if (!value.primitive.is_str()) return Bitmap();
    // Element ids are not in any universe, but their owners may be: only a
    // map without container items can leave out what lies outside.
    if (within) {
        ReadGuard g(map.element_ids.lock());
        if (!map.element_ids.get().empty()) within = nullptr;
    }
    ReadGuard g(map.strings.lock());
    Bitmap out = match(map.strings.get(), value.primitive.as_str().view(), within);
    map.unmask_ids(out);
    return out;
}

// ---- evaluation ----------------------------------------------------------------

template <class T>
inline constexpr bool is_single_value_test =
    std::is_same_v<T, QueryExpr::Eq> || std::is_same_v<T, QueryExpr::Gt> || std::is_same_v<T, QueryExpr::Ge> ||
    std::is_same_v<T, QueryExpr::Lt> || std::is_same_v<T, QueryExpr::Le> ||
    std::is_same_v<T, QueryExpr::StartsWi> || std::is_same_v<T, QueryExpr::EndsWi> ||
    std::is_same_v<T, QueryExpr::Contains>;

// The test on the map its path names directly.
template <class Leaf>
Bitmap apply_leaf(const QueryMap& map, const Leaf& leaf, const Bitmap& universe) {
    if constexpr (std::is_same_v<Leaf, QueryExpr::Eq>) return ops::eq(map, leaf.value);
    else if constexpr (std::is_same_v<Leaf, QueryExpr::Gt>) return ops::gt(map, leaf.value, universe);
    else if constexpr (std::is_same_v<Leaf, QueryExpr::Ge>) return ops::ge(map, leaf.value, universe);
    else if constexpr (std::is_same_v<Leaf, QueryExpr::Lt>) return ops::lt(map, leaf.value, universe);
    else if constexpr (std::is_same_v<Leaf, QueryExpr::Le>) return ops::le(map, leaf.value, universe);
    else if constexpr (std::is_same_v<Leaf, QueryExpr::Bt>) return ops::bt(map, leaf.lower, leaf.upper, universe);
    // Every caller keeps only ids of the universe (or complements within it),
    // so the string scans may skip what lies outside.
    else if constexpr (std::is_same_v<Leaf, QueryExpr::StartsWi>) return ops::starts_with(map, leaf.value, &universe);
    else if constexpr (std::is_same_v<Leaf, QueryExpr::EndsWi>) return ops::ends_with(map, leaf.value, &universe);
    else if constexpr (std::is_same_v<Leaf, QueryExpr::Contains>) return ops::contains(map, leaf.value, &universe);
    else if constexpr (std::is_same_v<Leaf, QueryExpr::In>) {
        Bitmap out;
        for (const PyValue& v : leaf.values) {
            Bitmap hit = ops::eq(map, v);
            hit &= universe;
            out |= hit;
        }
        return out;
    }
}

// A test on one attribute path: resolved here if the path has no dot,
// otherwise handed down to the nested engine of its first attribute.
// `node` is the tree node the leaf stands for (a Ne evaluates an Eq of its
// own), by which NestedAnswers knows it.
template <class Leaf>
Bitmap evaluate_leaf(const QueryMapTable& table, const Bitmap& universe, const Leaf& leaf, const void* node) {
    const AttrParts parts = attr_parts(leaf.attr.view());
    const uint32_t attribute = INTERNER().intern(parts.head);
    const QueryMap* map = IndexAPI::map_at(table, attribute);
    if (!map) return Bitmap();
    if (parts.rest) {
        // The nested engine's universe is its own: evaluated whatever ours.
        Leaf below = leaf;
        below.attr = AttrPath(*parts.rest);
        return evaluate_nested_query(table, universe, *map, QueryExpr(std::move(below)), NestedAnswers::of(node));
    }
    // Nothing within an empty universe can count (every caller keeps ids of
    // the universe only), so the bitmap work is skipped; but a between test
    // with a bound of no ordered kind fails whatever the data.
    if (universe.empty()) {
        if constexpr (std::is_same_v<Leaf, QueryExpr::Bt>) {
            if (!leaf.lower.primitive.is_ordered() || !leaf.upper.primitive.is_ordered()) throw QueryNotImplemented();
        }
        return Bitmap();
    }
    return apply_leaf(*map, leaf, universe);
}

// An upper bound of the ids an equality test on `map` can yield, from
// stored cardinalities (element ids count as ids: still a bound on their
// owners); nothing for kinds without a cheap count.
std::optional<uint64_t> eq_estimate(const QueryMap& map, const PyValue& value) {
    const CastValue& p = value.primitive;
    switch (p.kind()) {
        case ValueKind::Int:
        case ValueKind::Float: {
            if (is_nan(p)) return 0;
            ReadGuard g(map.numbers.lock());
            return map.numbers.get().eq_estimate(*order_key_of(p));
        }
        case ValueKind::Str: {
            ReadGuard g(map.strings.lock());
            return map.strings.get().eq_estimate(p.as_str().view());
        }
        case ValueKind::Bool: {
            ReadGuard g(map.bools.lock());
            return map.bools.get().of(p.as_bool()).bitmap().cardinality();
        }
        case ValueKind::Ind:
            return with_exact_ids(map, value, [](const HybridSet* ids) { return ids ? ids->size() : 0; }) +
                   map.linked_holders_of(value).cardinality();
        case ValueKind::Iterable:
        case ValueKind::Unknown:
            return with_exact_ids(map, value, [](const HybridSet* ids) { return ids ? ids->size() : 0; });
        case ValueKind::Temporal:
            break;
    }
    return std::nullopt;
}

// The map a test on `attr` reads directly: none for a dotted path (its
// work happens in a nested engine); `found` false when no object ever had
// the attribute.
const QueryMap* direct_map(const QueryMapTable& table, const AttrPath& attr, bool& dotted) {
    const AttrParts parts = attr_parts(attr.view());
    dotted = parts.rest.has_value();
    if (dotted) return nullptr;
    return IndexAPI::map_at(table, INTERNER().intern(parts.head));
}

// An upper bound of the ids a conjunction member can yield, where stored
// cardinalities tell it cheaply: equality and `in` on a direct attribute.
std::optional<uint64_t> member_estimate(const QueryMapTable& table, const QueryExpr& q) {
    return std::visit(
        [&](const auto& node) -> std::optional<uint64_t> {
            using N = std::decay_t<decltype(node)>;
            if constexpr (std::is_same_v<N, QueryExpr::Eq> || std::is_same_v<N, QueryExpr::In>) {
                bool dotted = false;
                const QueryMap* map = direct_map(table, node.attr, dotted);
                if (dotted) return std::nullopt;
                if (!map) return 0;
                if constexpr (std::is_same_v<N, QueryExpr::Eq>) {
                    return eq_estimate(*map, node.value);
                } else {
                    uint64_t total = 0;
                    for (const PyValue& v : node.values) {
                        const std::optional<uint64_t> one = eq_estimate(*map, v);
                        if (!one) return std::nullopt;
                        total += *one;
                    }
                    return total;
                }
            } else {
                return std::nullopt;
            }
        },
        q.node);
}

// Conjunction members, smallest first: those whose size stored cardinalities
// bound, by that bound, then the others by conjunction rank (stable), so that
// every later member works within a running set as small as can be told.
[[gnu::noinline]] std::vector<const QueryExpr*> smallest_first(const QueryMapTable& table,
                                                               std::span<const QueryExpr> queries) {
    struct Member {
        const QueryExpr* query;
        uint64_t bound;
        uint32_t rank;
    };
    std::vector<Member> members;
    members.reserve(queries.size());
    for (const QueryExpr& q : queries) {
        const std::optional<uint64_t> bound = member_estimate(table, q);
        members.push_back({&q, bound.value_or(std::numeric_limits<uint64_t>::max()), q.conjunction_rank()});
    }
    std::stable_sort(members.begin(), members.end(), [](const Member& a, const Member& b) {
        if (a.bound != b.bound) return a.bound < b.bound;
        return a.rank < b.rank;
    });
    std::vector<const QueryExpr*> order;
    order.reserve(members.size());
    for (const Member& m : members) order.push_back(m.query);
    return order;
}

// The ids of `within` that satisfy an equality on a direct attribute without
// container items: the stored ids intersected with the candidates straight
// away (its cost follows the candidates). Nothing when the test is of
// another form (item matches come as element ids, which no set of
// candidates holds: those need the whole test and the owners it maps to).
// Out of line, like smallest_first: nested conjunctions recurse through
// evaluate_and_queries_vec, whose frame must stay small.
[[gnu::noinline]] std::optional<Bitmap> narrow_eq(const QueryMapTable& table, const Bitmap& within,
                                                  const QueryExpr::Eq& eq) {
    bool dotted = false;
    const QueryMap* map = direct_map(table, eq.attr, dotted);
    if (dotted) return std::nullopt;
    if (!map || within.empty()) return Bitmap();
    {
        ReadGuard g(map->element_ids.lock());
        if (!map->element_ids.get().empty()) return std::nullopt;
    }
    return ops::eq_among(*map, eq.value, within);
}

// The ids of `within` that satisfy `q`: evaluated within them and cut to
// them, unless narrow_eq answers directly.
Bitmap narrow(const QueryMapTable& table, const Bitmap& within, const QueryExpr& q) {
    if (const auto* eq = std::get_if<QueryExpr::Eq>(&q.node))
        if (std::optional<Bitmap> out = narrow_eq(table, within, *eq)) return std::move(*out);
    Bitmap out = evaluate_query(table, within, q);
    out &= within;
    return out;
}

}  // namespace

// ---- replacement locks -------------------------------------------------------------

QueryReadHold::QueryReadHold(const IndexAPI::QueryMapTable& table, std::span<const QueryExpr> queries) {
    // Names nobody interned yet have no map; they are not interned here, so
    // that evaluation interns in its own order. A map installed after this
    // point is read without its lock: it holds only values assigned since.
    InternerSnapshot names = INTERNER().snapshot();
    std::vector<uint32_t> attributes;
    for_each_test_path(queries, [&](std::string_view path) {
        const std::optional<uint32_t> attribute = names->get(attr_parts(path).head);
        if (attribute && IndexAPI::map_at(table, *attribute)) attributes.push_back(*attribute);
    });
    std::sort(attributes.begin(), attributes.end());
    attributes.erase(std::unique(attributes.begin(), attributes.end()), attributes.end());
    held_.reserve(attributes.size());
    for (uint32_t attribute : attributes) {
        const QueryMap* map = IndexAPI::map_at(table, attribute);
        map->replacing.lock_shared();
        held_.push_back(map);
    }
}

QueryReadHold::~QueryReadHold() {
    for (auto it = held_.rbegin(); it != held_.rend(); ++it) (*it)->replacing.unlock_shared();
}

// ---- operators -------------------------------------------------------------------

namespace ops {
namespace {

Bitmap eq_ids(const QueryMap& map, const PyValue& value, const Bitmap* within, Bitmap* elements) {
    const CastValue& p = value.primitive;
    Bitmap out;
    switch (p.kind()) {
        case ValueKind::Int:
        case ValueKind::Float: {
            if (is_nan(p)) return out;
            const OrderKey key = *order_key_of(p);
            ReadGuard g(map.numbers.lock());
            out = within ? map.numbers.get().eq_within(key, *within) : map.numbers.get().eq(key);
            map.unmask_ids(out, elements);
            break;
        }
        case ValueKind::Str: {
            ReadGuard g(map.strings.lock());
            out = map.strings.get().match_eq(p.as_str().view(), within);
            map.unmask_ids(out, elements);
            break;
        }
        case ValueKind::Bool: {
            ReadGuard g(map.bools.lock());
            const Bitmap& set = map.bools.get().of(p.as_bool()).bitmap();
            out = within ? set & *within : set.clone();
            map.unmask_ids(out, elements);
            break;
        }
        case ValueKind::Temporal:
            scan_temporal(map, p.as_temporal(), out,
                          [&out](const NumericalBitmap& index, const OrderKey& key) { out = index.eq(key); });
            break;
        case ValueKind::Iterable:
        case ValueKind::Ind:
        case ValueKind::Unknown:
            with_exact_ids(map, value, [&](const HybridSet* ids) {
                if (ids) out = ids->to_bitmap();
                if (within) out &= *within;
                map.unmask_ids(out, elements);
            });
            // Most holders of a nested object are known by its links alone.
            if (p.is_ind()) {
                Bitmap linked = map.linked_holders_of(value);
                if (within) linked &= *within;
                out |= linked;
            }
            break;
    }
    return out;
}

}  // namespace

Bitmap eq(const QueryMap& map, const PyValue& value) { return eq_ids(map, value, nullptr, nullptr); }

Bitmap eq(const QueryMap& map, const PyValue& value, const Bitmap& within, Bitmap& elements) {
    return eq_ids(map, value, &within, &elements);
}

Bitmap eq_among(const QueryMap& map, const PyValue& value, const Bitmap& within) {
    Bitmap out = eq_ids(map, value, &within, nullptr);
    // The temporal index is read whole.
    if (value.primitive.is_temporal()) out &= within;
    return out;
}

Bitmap gt(const QueryMap& map, const PyValue& value, const Bitmap& universe) {
    return compare(map, value, universe, GET_GT_FN(), Side::Above);
}

Bitmap ge(const QueryMap& map, const PyValue& value, const Bitmap& universe) {
    return compare(map, value, universe, GET_GTE_FN(), Side::Above);
}

Bitmap lt(const QueryMap& map, const PyValue& value, const Bitmap& universe) {
    return compare(map, value, universe, GET_LT_FN(), Side::Below);
}

Bitmap le(const QueryMap& map, const PyValue& value, const Bitmap& universe) {
    return compare(map, value, universe, GET_LTE_FN(), Side::Below);
}

Bitmap bt(const QueryMap& map, const PyValue& lower, const PyValue& upper, const Bitmap& universe) {
    const CastValue& lo = lower.primitive;
    const CastValue& hi = upper.primitive;
    if (!lo.is_ordered() || !hi.is_ordered()) throw QueryNotImplemented();
    // No value is of two kinds at once: mixed bounds select nothing.
    if (lo.is_temporal() || hi.is_temporal()) {
        if (!lo.is_temporal() || !hi.is_temporal()) return Bitmap();
        return temporal_between(map, lo.as_temporal(), hi.as_temporal(), universe);
    }
    const std::optional<OrderKey> low = order_key_of(lo);
    const std::optional<OrderKey> high = order_key_of(hi);
    if (is_nan(lower.primitive) || is_nan(upper.primitive) || *high < *low) return Bitmap();
    // Two finite (or infinite) bounds already leave NaN keys outside.
    const RangeBase base(map, universe);
    Bitmap out;
    {
        ReadGuard g(map.numbers.lock());
        map.numbers.get().get_between_into_base(*low, *high, out, base.get());
        map.unmask_ids(out);
    }
    if (base.widened()) out &= universe;
    return out;
}

Bitmap starts_with(const QueryMap& map, const PyValue& value, const Bitmap* within) {
    return match_string(map, value, within, [](const PositionalBitmap& s, std::string_view v, const Bitmap* w) {
        return s.match_prefix(v, w);
    });
}

Bitmap ends_with(const QueryMap& map, const PyValue& value, const Bitmap* within) {
    return match_string(map, value, within, [](const PositionalBitmap& s, std::string_view v, const Bitmap* w) {
        return s.match_suffix(v, w);
    });
}

Bitmap contains(const QueryMap& map, const PyValue& value, const Bitmap* within) {
    return match_string(map, value, within, [](const PositionalBitmap& s, std::string_view v, const Bitmap* w) {
        return s.match_contains(v, w);
    });
}

}  // namespace ops

// ---- evaluation --------------------------------------------------------------------

Bitmap evaluate_query(const QueryMapTable& table, const Bitmap& universe, const QueryExpr& query) {
    check_stack_room();
    return std::visit(
        [&](const auto& node) -> Bitmap {
            using N = std::decay_t<decltype(node)>;
            if constexpr (std::is_same_v<N, QueryExpr::Ne>) {
                return universe - evaluate_leaf(table, universe, QueryExpr::Eq{node.attr, node.value}, &node);
            } else if constexpr (std::is_same_v<N, QueryExpr::Not>) {
                return universe - evaluate_query(table, universe, *node.exprs);
            } else if constexpr (std::is_same_v<N, QueryExpr::And>) {
                return evaluate_and_queries_vec(table, universe, node.exprs);
            } else if constexpr (std::is_same_v<N, QueryExpr::Or>) {
                Bitmap out;
                for (const QueryExpr& member : node.exprs) out |= evaluate_query(table, universe, member);
                return out;
            } else {
                static_assert(is_single_value_test<N> || std::is_same_v<N, QueryExpr::Bt> ||
                              std::is_same_v<N, QueryExpr::In>);
                return evaluate_leaf(table, universe, node, &node);
            }
        },
        query.node);
}

Bitmap evaluate_and_queries_vec(const QueryMapTable& table, const Bitmap& universe, std::span<const QueryExpr> queries) {
    if (queries.empty()) return universe.clone();
    const std::vector<const QueryExpr*> order = smallest_first(table, queries);
    // The first member runs within the universe itself: no copy of it. Once
    // nothing is left the members still run, within the empty universe: a
    // between test with a bad bound must fail whatever the data, and every
    // name the query mentions is interned.
    Bitmap acc = narrow(table, universe, *order.front());
    for (size_t i = 1; i < order.size(); ++i) acc = narrow(table, acc, *order[i]);
    return acc;
}

Bitmap evaluate_nested_query(const QueryMapTable& table, const Bitmap& universe, const QueryMap& map,
                             const QueryExpr& query, const Bitmap* known) {
    Bitmap holders;
    if (known) {
        holders = known->clone();
    } else {
        holders = map.nested->get_parent_from_ids(map.nested->reduced_query(query).ids);
        map.unmask_ids(holders);
    }
    // An object that holds itself continues the path on itself, here: the
    // table is the one this evaluation already reads, and every such step
    // uses up one attribute of the path.
    const Bitmap selves = map.self_holders_in(universe);
    if (!selves.empty()) holders |= evaluate_query(table, selves, query) & selves;
    return holders;
}

// ---- answers of the nested engines ---------------------------------------------------

namespace {

thread_local const NestedAnswers* answers_here = nullptr;

// The tests of one nested engine: the tree nodes they stand for and the
// tests as that engine sees them (the path after its attribute).
struct NestedAsk {
    const QueryMap* map;
    std::vector<const void*> nodes;
    std::vector<QueryExpr> below;
};

template <class Leaf>
void ask_below(const QueryMapTable& table, const Leaf& leaf, const void* node, std::vector<NestedAsk>& asks) {
    const AttrParts parts = attr_parts(leaf.attr.view());
    if (!parts.rest) return;
    const QueryMap* map = IndexAPI::map_at(table, INTERNER().intern(parts.head));
    if (!map || !map->nested) return;
    auto it = std::find_if(asks.begin(), asks.end(), [&](const NestedAsk& a) { return a.map == map; });
    if (it == asks.end()) it = asks.insert(asks.end(), NestedAsk{map, {}, {}});
    Leaf below = leaf;
    below.attr = AttrPath(*parts.rest);
    it->nodes.push_back(node);
    it->below.emplace_back(std::move(below));
}

}  // namespace

NestedAnswers::NestedAnswers(const QueryMapTable& table, std::span<const QueryExpr> queries) : outer_(answers_here) {
    // One level of a path per nested engine: a path as deep as its objects
    // recurses through here as deep.
    check_stack_room();
    std::vector<NestedAsk> asks;
    for_each_test(queries, [&](const auto& test) {
        if constexpr (std::is_same_v<std::decay_t<decltype(test)>, QueryExpr::Ne>) {
            ask_below(table, QueryExpr::Eq{test.attr, test.value}, &test, asks);
        } else {
            ask_below(table, test, &test, asks);
        }
    });
    for (NestedAsk& ask : asks) {
        std::vector<Bitmap> found = ask.map->nested->reduced_query_ids(ask.below);
        for (size_t i = 0; i < found.size(); ++i) {
            Bitmap holders = ask.map->nested->get_parent_from_ids(found[i]);
            ask.map->unmask_ids(holders);
            answers_.emplace_back(ask.nodes[i], std::move(holders));
        }
    }
    answers_here = this;
}

NestedAnswers::~NestedAnswers() { answers_here = outer_; }

const Bitmap* NestedAnswers::of(const void* leaf) noexcept {
    if (!answers_here) return nullptr;
    for (const auto& [node, holders] : answers_here->answers_) {
        if (node == leaf) return &holders;
    }
    return nullptr;
}

}  // namespace tarnwick

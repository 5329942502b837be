#include "index/core/query/id_match.hpp"

#include <cmath>
#include <functional>
#include <limits>
#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

#include "index/core/index.hpp"
#include "index/core/query/query_map.hpp"
#include "index/core/stack_room.hpp"
#include "index/core/structures/string_interner.hpp"

namespace tarnwick {
namespace {

// The candidates with the element ids of their container items in this map:
// an item matches for the object that holds it, so the tests below run
// within this set and map what they find back to the holders.
Bitmap with_elements(const QueryMap& map, const Bitmap& candidates) {
    Bitmap within = candidates.clone();
    {
        ReadGuard g(map.element_ids.lock());
        if (map.element_ids.get().empty()) return within;
    }
    ReadGuard g(map.element_owners.lock());
    within |= map.element_owners.get().elements_of(candidates);
    return within;
}

// NaN keys sort beyond the infinity of their sign; NaN is unordered.
bool is_nan_key(const OrderKey& key) noexcept {
    static const OrderKey above = order_key_float(std::numeric_limits<double>::infinity());
    static const OrderKey below = order_key_float(-std::numeric_limits<double>::infinity());
    return above < key || key < below;
}

// The ids of `within` (holders for items) whose value in the ordered index
// of the bound's kind passes `test`, reading each id's key from the index's
// slices. Nothing for a bound of no ordered kind, or NaN.
// Equality reads no more bits than it takes to tell (NaN keys equal no key
// of a bound, which is never NaN here).
struct SameKey {};

template <class Test>
Bitmap ordered_within(const QueryMap& map, const CastValue& bound, const Bitmap& within, Test test) {
    Bitmap out;
    const auto scan = [&](const NumericalBitmap& index, const OrderKey& key) {
        within.for_each([&](uint32_t id) {
            if constexpr (std::is_same_v<Test, SameKey>) {
                if (index.holds_key(id, key)) out.add(id);
            } else {
                const std::optional<OrderKey> held = index.key_of(id);
                if (held && !is_nan_key(*held) && test(*held, key)) out.add(id);
            }
        });
        map.unmask_ids(out);
    };
    if (bound.is_temporal()) {
        const TemporalValue& t = bound.as_temporal();
        ReadGuard g(map.temporals.lock());
        if (const NumericalBitmap* index = map.temporals.get().find(static_cast<size_t>(t.kind)))
            scan(*index, temporal_order_key(t));
        return out;
    }
    const std::optional<OrderKey> key = order_key_of(bound);
    if (!key || is_nan(bound)) return out;
    ReadGuard g(map.numbers.lock());
    scan(map.numbers.get(), *key);
    return out;
}

Bitmap eq_within(const QueryMap& map, const PyValue& value, const Bitmap& within) {
    const CastValue& p = value.primitive;
    if (p.is_ordered()) return ordered_within(map, p, within, SameKey{});
    Bitmap elements;
    return ops::eq(map, value, within, elements);
}

Bitmap between_within(const QueryMap& map, const PyValue& lower, const PyValue& upper, const Bitmap& within) {
    const CastValue& lo = lower.primitive;
    const CastValue& hi = upper.primitive;
    if (!lo.is_ordered() || !hi.is_ordered()) throw QueryNotImplemented();
    // No value is of two kinds at once: mixed bounds select nothing.
    if (lo.is_temporal() != hi.is_temporal()) return Bitmap();
    if (lo.is_temporal() && lo.as_temporal().kind != hi.as_temporal().kind) return Bitmap();
    if (is_nan(hi)) return Bitmap();
    const OrderKey high = hi.is_temporal() ? temporal_order_key(hi.as_temporal()) : *order_key_of(hi);
    return ordered_within(map, lo, within,
                          [&high](const OrderKey& held, const OrderKey& low) { return !(held < low) && !(high < held); });
}

// The test on the map its path names directly, for the ids of `within`.
template <class Leaf>
Bitmap apply_leaf_within(const QueryMap& map, const Leaf& leaf, const Bitmap& within) {
    if constexpr (std::is_same_v<Leaf, QueryExpr::Eq>) return eq_within(map, leaf.value, within);
    else if constexpr (std::is_same_v<Leaf, QueryExpr::Gt>) return ordered_within(map, leaf.value.primitive, within, std::greater<OrderKey>());
    else if constexpr (std::is_same_v<Leaf, QueryExpr::Ge>) return ordered_within(map, leaf.value.primitive, within, std::greater_equal<OrderKey>());
    else if constexpr (std::is_same_v<Leaf, QueryExpr::Lt>) return ordered_within(map, leaf.value.primitive, within, std::less<OrderKey>());
    else if constexpr (std::is_same_v<Leaf, QueryExpr::Le>) return ordered_within(map, leaf.value.primitive, within, std::less_equal<OrderKey>());
    else if constexpr (std::is_same_v<Leaf, QueryExpr::Bt>) return between_within(map, leaf.lower, leaf.upper, within);
    else if constexpr (std::is_same_v<Leaf, QueryExpr::StartsWi>) return ops::starts_with(map, leaf.value, &within);
    else if constexpr (std::is_same_v<Leaf, QueryExpr::EndsWi>) return ops::ends_with(map, leaf.value, &within);
    else if constexpr (std::is_same_v<Leaf, QueryExpr::Contains>) return ops::contains(map, leaf.value, &within);
    else if constexpr (std::is_same_v<Leaf, QueryExpr::In>) {
        Bitmap out;
        for (const PyValue& v : leaf.values) out |= eq_within(map, v, within);
        return out;
    }
}

template <class Leaf>
Bitmap leaf_among(const QueryMapTable& table, const Bitmap& candidates, const Leaf& leaf) {
    const AttrParts parts = attr_parts(leaf.attr.view());
    const uint32_t attribute = INTERNER().intern(parts.head);
    const QueryMap* map = IndexAPI::map_at(table, attribute);
    if (!map || candidates.empty()) return Bitmap();
    if (parts.rest) {
        Leaf below = leaf;
        below.attr = AttrPath(*parts.rest);
        const QueryExpr rest(std::move(below));
        // The nested objects these candidates hold, tested in the nested
        // engine, and the holders of those that pass.
        const Bitmap children = map->nested->children_of(candidates);
        Bitmap holders;
        if (!children.empty()) {
            holders = map->nested->get_parent_from_ids(map->nested->matched_among(children, rest));
            map->unmask_ids(holders);
            holders &= candidates;
        }
        // An object that holds itself continues the path on itself, here.
        const Bitmap selves = map->self_holders_in(candidates);
        if (!selves.empty()) holders |= match_among(table, selves, rest);
        return holders;
    }
    Bitmap out = apply_leaf_within(*map, leaf, with_elements(*map, candidates));
    out &= candidates;
    return out;
}

}  // namespace

Bitmap match_among(const QueryMapTable& table, const Bitmap& candidates, const QueryExpr& query) {
    check_stack_room();
    return std::visit(
        [&](const auto& node) -> Bitmap {
            using N = std::decay_t<decltype(node)>;
            if constexpr (std::is_same_v<N, QueryExpr::Ne>) {
                return candidates - leaf_among(table, candidates, QueryExpr::Eq{node.attr, node.value});
            } else if constexpr (std::is_same_v<N, QueryExpr::Not>) {
                return candidates - match_among(table, candidates, *node.exprs);
            } else if constexpr (std::is_same_v<N, QueryExpr::And>) {
                Bitmap acc = candidates.clone();
                for (const QueryExpr& member : node.exprs) {
                    if (acc.empty()) break;
                    acc = match_among(table, acc, member);
                }
                return acc;
            } else if constexpr (std::is_same_v<N, QueryExpr::Or>) {
                Bitmap out;
                for (const QueryExpr& member : node.exprs) {
                    Bitmap rest = candidates - out;
                    if (rest.empty()) break;
                    out |= match_among(table, rest, member);
                }
                return out;
            } else {
                return leaf_among(table, candidates, node);
            }
        },
        query.node);
}

}  // namespace tarnwick

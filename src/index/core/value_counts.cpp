#include "index/core/value_counts.hpp"

#include <optional>

#include "index/core/query/attr_path.hpp"
#include "index/core/query/query_map.hpp"
#include "index/core/query/query_eval.hpp"
#include "index/core/query/query_expr.hpp"
#include "index/core/stack_room.hpp"
#include "index/core/structures/string_interner.hpp"

namespace tarnwick {
namespace {

// The ids of `universe` with a scalar value (one that is not a container) in
// the map's structures.
Bitmap scalar_holders(const QueryMap& map, const Bitmap& universe) {
    Bitmap out;
    {
        ReadGuard g(map.strings.lock());
        out |= map.strings.get().all_strings() & universe;
    }
    {
        ReadGuard g(map.numbers.lock());
        const auto& lowest = map.numbers.get().slices()[0];
        out |= lowest[0].bitmap() & universe;
        out |= lowest[1].bitmap() & universe;
    }
    {
        ReadGuard g(map.temporals.lock());
        for (size_t kind = 0; kind < TemporalBitmaps::kinds; ++kind) {
            const NumericalBitmap* index = map.temporals.get().find(kind);
            if (!index) continue;
            const auto& lowest = index->slices()[0];
            out |= lowest[0].bitmap() & universe;
            out |= lowest[1].bitmap() & universe;
        }
    }
    {
        ReadGuard g(map.bools.lock());
        for (const BoolBitmaps::Element& set : map.bools.get().sets) out |= set.bitmap() & universe;
    }
    {
        // Nested objects linked to their holders have no exact entry.
        ReadGuard g(map.linked_holders.lock());
        out |= map.linked_holders.get() & universe;
    }
    map.exact_values.for_each_shard_read([&](const ExactValues::Map& shard) {
        for (const auto& [key, ids] : shard) {
            if (const Bitmap* large = ids.bitmap()) {
                out |= *large & universe;
                continue;
            }
            ids.for_each([&](uint32_t id) {
                if (universe.contains(id)) out.add(id);
            });
        }
    });
    return out;
}

// The value of `attribute` that object `id` holds now, read from the object.
// Takes the item table's lock, then the object's attribute map, one after
// the other: no engine lock is held while an object's lock is.
std::optional<PyValue> object_value(const SharedItemTable& items, uint32_t id, uint32_t attribute) {
    RecordPtr record;
    {
        ReadGuard g(items->lock());
        const ItemTable& table = items->get();
        if (id >= table.size() || !table[id].occupied()) return std::nullopt;
        record = table.record(id);
    }
    if (!record) return std::nullopt;
    MutexGuard g(record->attribute_map().lock());
    const PyValue* value = record->attribute_map().get().get(attribute);
    if (!value) return std::nullopt;
    return *value;
}

std::vector<ValueHolders> holders_in_map(const FilteredView& view, const QueryMap& map, uint32_t attribute,
                                         const Bitmap& universe) {
    std::vector<ValueHolders> out;
    // Two pools of ids still to account for: objects with a scalar value and
    // the item elements of the objects' containers. Every round reads the
    // value of the smallest id left and takes every id with that value out.
    Bitmap objects = scalar_holders(map, universe);
    Bitmap elements;
    {
        ReadGuard g(map.element_owners.lock());
        elements = map.element_owners.get().valued_elements_of(universe);
    }
    // Strings come out of one walk of the string index over both pools.
    {
        const Bitmap candidates = objects | elements;
        // United once at the end: growing one set string by string would
        // copy it once per string.
        std::vector<Bitmap> with_strings;
        ReadGuard maps(view.query_maps->lock());
        ReadGuard g(map.strings.lock());
        map.strings.get().for_each_distinct(candidates, [&](std::string_view bytes, Bitmap& ids) {
            with_strings.push_back(ids.clone());
            // Under the strings lock: every element id in ids can still be
            // mapped to its holder.
            map.unmask_ids(ids);
            ids &= universe;
            if (ids.empty()) return;
            out.push_back(ValueHolders{PyValue(PyHandle(), CastValue::from_str(ShortStr(bytes))), std::move(ids)});
        });
        std::vector<const Bitmap*> parts;
        for (const Bitmap& ids : with_strings) parts.push_back(&ids);
        const Bitmap found = Bitmap::union_of(parts);
        objects -= found;
        elements -= found;
    }
    while (!objects.empty() || !elements.empty()) {
        // Ids no longer in the pools hold another value: the pools are all the
        // candidates there are.
        const Bitmap candidates = objects | elements;
        std::optional<PyValue> value;
        if (!objects.empty()) {
            const uint32_t id = objects.minimum();
            objects.remove(id);
            value = object_value(view.items, id, attribute);
        } else {
            const uint32_t element = elements.minimum();
            elements.remove(element);
            ReadGuard g(map.element_owners.lock());
            value = map.element_owners.get().value_of(element);
        }
        // A container assigned since the pools were made has no single value.
        if (!value || value->primitive.is_iterable()) continue;
        Bitmap matched_elements;
        Bitmap holders;
        {
            ReadGuard maps(view.query_maps->lock());
            holders = ops::eq(map, *value, candidates, matched_elements);
        }
        objects -= holders;
        elements -= matched_elements;
        holders &= universe;
        if (!holders.empty()) out.push_back(ValueHolders{std::move(*value), std::move(holders)});
    }
    return out;
}

}  // namespace

std::vector<ValueHolders> value_holders(const FilteredView& view, std::string_view path, const Bitmap& universe) {
    // One level per dot, as deep as the objects nest.
    check_stack_room();
    const AttrParts parts = attr_parts(path);
    const uint32_t attribute = INTERNER().intern(parts.head);
    const QueryMap* map = nullptr;
    {
        ReadGuard g(view.query_maps->lock());
        map = IndexAPI::map_at(view.query_maps->get(), attribute);
    }
    // Installed maps stay where they are while the table lives, which the
    // view keeps alive.
    if (!map || universe.empty()) return {};
    if (!parts.rest) return holders_in_map(view, *map, attribute, universe);

    IndexAPI& nested = *map->nested;
    Bitmap children = nested.children_of(universe);
    FilteredView below = nested.whole();
    children &= below.ids;
    std::vector<ValueHolders> found = value_holders(below, *parts.rest, children);
    std::vector<ValueHolders> out;
    out.reserve(found.size());
    for (ValueHolders& entry : found) {
        Bitmap holders = nested.get_parent_from_ids(entry.holders);
        holders &= universe;
        if (!holders.empty()) out.push_back(ValueHolders{std::move(entry.value), std::move(holders)});
    }
    return out;
}

}  // namespace tarnwick

// QueryMap: the value index of one attribute name inside one engine.
//
// For every object that has the attribute, the map records the object id under
// the value, in the sub-index of the value's kind: strings by byte position,
// numbers on one ordered scale, dates, times and durations on one ordered
// scale per kind, booleans in two sets, nested objects and opaque values by
// whole value. The items of list, tuple and set values are
// indexed under element ids of their own, each mapped back to the object that
// holds the container (unmask_ids does that for every query result). Nested
// Indexable values are also held as objects by the map's nested engine, so
// that conditions on dotted paths can be answered there.
//
// Every sub-index has its own reader-writer lock. A thread that holds several
// takes them in the order of src/README.md. Readers (the match operators) take
// the lock of the structure they read and consult only its roaring bitmaps.
// Above them, `replacing` makes the replacement of one object's value a single
// step for every test on the map.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <functional>
#include <vector>

#include "index/core/gc_mirror.hpp"
#include "index/core/query/container_items.hpp"
#include "index/core/stored_item.hpp"
#include "index/core/structures/bitmap.hpp"
#include "index/core/structures/buffered_bitmap.hpp"
#include "index/core/structures/flat_id_map.hpp"
#include "index/core/structures/hybrid_set.hpp"
#include "index/core/structures/id_alloc.hpp"
#include "index/core/structures/id_map.hpp"
#include "index/core/structures/numerical_bitmap.hpp"
#include "index/core/structures/positional_bitmap.hpp"
#include "index/core/structures/sharded_hashmap.hpp"
#include "index/core/structures/sync.hpp"
#include "index/core/structures/temporal_bitmap.hpp"
#include "index/value.hpp"

namespace tarnwick {

// NaN equals nothing and bounds no range, in every test of a map.
inline bool is_nan(const CastValue& p) noexcept { return p.is_float() && std::isnan(p.as_float()); }

class IndexAPI;
class BulkQueryMapAdder;
struct QueryExpr;

// A whole value as the key of exact_values, compared by value equality. The
// key keeps the value's hash: a value no longer stores it, and a text's would
// be read through again at every probe and rehash.
struct ExactKey {
    PyValue value;
    uint64_t hash;

    ExactKey(const PyValue& v) : value(v), hash(v.hash()) {}  // NOLINT: implicit on purpose, lookups pass values
    ExactKey(PyValue&& v) noexcept : value(std::move(v)), hash(value.hash()) {}
    // For a caller that has the hash of v already.
    ExactKey(PyValue&& v, uint64_t h) noexcept : value(std::move(v)), hash(h) {}

    uint64_t stored_hash() const noexcept { return hash; }
    friend bool operator==(const ExactKey& a, const ExactKey& b) noexcept {
        return a.hash == b.hash && a.value == b.value;
    }
};

using ExactValues = ShardedHashMap<ExactKey, HybridSet>;

// The order key of an Int or Float value; nothing for other kinds.
std::optional<OrderKey> order_key_of(const CastValue& value) noexcept;
// The order key of a temporal value within the index of its kind.
OrderKey temporal_order_key(const TemporalValue& value) noexcept;

// The ids whose value is True (index 0) and False (index 1).
struct BoolBitmaps {
    static constexpr uint32_t buffer_capacity = 64;
    using Element = BufferedBitmap<buffer_capacity>;

    std::array<Element, 2> sets;

    Element& of(bool value) noexcept { return sets[value ? 0 : 1]; }
    const Element& of(bool value) const noexcept { return sets[value ? 0 : 1]; }
    // True set, then False set.
    void flush();
};

// One element id, its owner and the converted item it was issued for (none
// for a nested container, whose items are elements of their own).
struct ElementEntry {
    uint32_t element;
    uint32_t owner;
    std::optional<PyValue> value;
};

// An element as its owner's block keeps it: the owner is the block's key.
struct OwnedElement {
    uint32_t element;
    // False for a nested container's entry, which carries no item.
    bool valued;
    PyValue value;

    std::optional<PyValue> item() const { return valued ? std::optional<PyValue>(value) : std::nullopt; }
};

// The elements of one owner, in the order they were recorded, in one heap
// block: a word in the owner's slot and a short header before the entries.
// Owners mostly hold a few items, for which a vector's three words and its
// entries' owner and optional flag were as much again as the items.
class OwnedElements {
public:
    OwnedElements() noexcept = default;
    OwnedElements(OwnedElements&& o) noexcept : block_(std::exchange(o.block_, nullptr)) {}
    OwnedElements& operator=(OwnedElements&& o) noexcept {
        if (this != &o) {
            release();
            block_ = std::exchange(o.block_, nullptr);
        }
        return *this;
    }
    OwnedElements(const OwnedElements&) = delete;
    OwnedElements& operator=(const OwnedElements&) = delete;
    ~OwnedElements() { release(); }

    size_t size() const noexcept { return block_ ? block_->size : 0; }
    size_t capacity() const noexcept { return block_ ? block_->capacity : 0; }
    const OwnedElement* begin() const noexcept { return block_ ? block_->entries() : nullptr; }
    const OwnedElement* end() const noexcept { return begin() + size(); }
    OwnedElement* begin() noexcept { return block_ ? block_->entries() : nullptr; }
    OwnedElement* end() noexcept { return begin() + size(); }

    // Room for n entries in all: afterwards, appending up to n cannot fail.
    // Throws std::bad_alloc and then changes nothing.
    void reserve(size_t n);
    // Appends an entry (growing the block if it is full).
    void push_back(uint32_t element, std::optional<PyValue> value);

private:
    struct Block {
        uint32_t size;
        uint32_t capacity;
        OwnedElement* entries() noexcept { return reinterpret_cast<OwnedElement*>(this + 1); }
    };
    static_assert(sizeof(Block) % alignof(OwnedElement) == 0);

    void release() noexcept;

    Block* block_ = nullptr;
};

// Element id -> owner id, and the reverse record owner -> its elements, which
// is what removing a container value walks.
class ElementOwners {
public:
    void record(uint32_t element, uint32_t owner, std::optional<PyValue> value);
    // record() for every element of one container of `owner` (`items` in the
    // order of `elements`), the owner's block grown once.
    void record_many(const std::vector<uint32_t>& elements, uint32_t owner, const ContainerItems& items);
    // Appends the owner of each of the elements that has one.
    void owners_of(const std::vector<uint32_t>& elements, std::vector<uint32_t>& owners) const;

    // Takes the owner's elements out of the reverse record. Their element ->
    // owner entries stay until forget(), so that until then queries still map
    // them to the owner.
    std::vector<ElementEntry> detach(uint32_t owner);
    // Takes out the elements of every owner in `owners`, as detach does.
    std::vector<ElementEntry> detach_owners(const Bitmap& owners);
    void forget(uint32_t element);

    size_t size() const noexcept { return owner_of_.size(); }
    // fn(element) for every element id with an entry.
    template <class F>
    void for_each_element(F&& fn) const {
        owner_of_.for_each([&fn](uint32_t element, uint32_t) { fn(element); });
    }
    // Number of owners with elements.
    size_t owner_count() const noexcept { return by_owner_.size(); }
    // The elements of the owners in `owners` that carry an item value (the
    // others are nested containers, whose items are elements of their own).
    Bitmap valued_elements_of(const Bitmap& owners) const;
    // Every element of the owners in `owners`, looked up owner by owner (for
    // a few owners, where valued_elements_of would walk them all).
    Bitmap elements_of(const Bitmap& owners) const;
    // The item value of an element, if it has one.
    std::optional<PyValue> value_of(uint32_t element) const;
    // fn(owner, its entries in the order they were recorded) for every owner.
    template <class F>
    void for_each_owner(F&& fn) const {
        by_owner_.for_each([&](uint32_t owner, const OwnedElements& entries) { fn(owner, entries); });
    }

    // fn(const PyValue&) for every stored item value.
    template <class F>
    void for_each_value(F&& fn) const {
        by_owner_.for_each([&](uint32_t, const OwnedElements& entries) {
            for (const OwnedElement& e : entries)
                if (e.valued) fn(e.value);
        });
    }

private:
    // Takes out the elements of every owner for which `taken` holds.
    std::vector<ElementEntry> detach_where(const std::function<bool(uint32_t)>& taken);
    static void append_detached(uint32_t owner, OwnedElements& entries, std::vector<ElementEntry>& out);

    // Looked up for every element id a query hits, in ascending order.
    IdMap owner_of_;
    FlatIdMap<OwnedElements> by_owner_;
};

class QueryMap {
public:
    // `owner` is the engine whose table will hold the map; the map shares its
    // item table and its nested engine gets it as parent.
    explicit QueryMap(std::weak_ptr<IndexAPI> owner);
    ~QueryMap();
    QueryMap(const QueryMap&) = delete;
    QueryMap& operator=(const QueryMap&) = delete;

    // Kinds Ind and Unknown: whole value -> ids. Each shard has its own lock.
    ExactValues exact_values;
    const std::weak_ptr<IndexAPI> owner;
    // Holds the Indexable values of this attribute as objects; its parent is
    // `owner`. Set at construction, never replaced.
    std::shared_ptr<IndexAPI> nested;
    // The owner's item table (a fresh one when the owner was already gone).
    const SharedItemTable items;
    // The tree's record of the references of container items (the nested
    // engine's, which is the owner's).
    const std::shared_ptr<GcMirror> gc_mirror;

    RwLocked<PositionalBitmap> strings;
    RwLocked<NumericalBitmap> numbers;
    RwLocked<BoolBitmaps> bools;
    // One ordered index per temporal kind, made on first use.
    RwLocked<TemporalBitmaps> temporals;
    RwLocked<ElementOwners> element_owners;
    // Every element id issued by this map and not yet removed.
    RwLocked<Bitmap> element_ids;
    // Held exclusively while one object's value is replaced (the old one
    // taken out, the new one put in, possibly in different sub-indexes) and
    // shared by a query test for as long as it reads the map: the test sees
    // the object with its old or its new value, never with neither or both.
    // Taken after query_maps and before any sub-index lock. Insertions of
    // objects that are not yet members, and removals of objects that are
    // members no more, go without it: queries keep only members.
    mutable RwLock replacing;
    // The objects whose value of this attribute (or an item of it) is the
    // object itself. Nesting them below themselves would never end; a path
    // through the attribute continues on them in the owner's engine instead.
    // Guarded by its own lock, a leaf.
    RwLocked<Bitmap> self_holders;
    // The objects whose value of this attribute is a nested object linked to
    // them in `nested`. Those links already tell which objects hold a given
    // nested object, so such a value keeps no exact_values entry (a copy of
    // the value per holder); this set tells the links of these values from
    // those of container items, which keep theirs. A nested object that
    // could not be linked (the holder itself, one of its holders further up,
    // a map whose engine is gone) keeps its entry too. Guarded by its own
    // lock, a leaf.
    RwLocked<Bitmap> linked_holders;

    // Single insertions; each takes the lock of its sub-index only.
    void insert_str(std::string_view bytes, uint32_t id);
    void insert_num_ordered(const OrderKey& key, uint32_t id);
    void insert_bool(bool value, uint32_t id);
    void insert_exact(const PyValue& value, uint32_t id);
    void insert_temporal(const TemporalValue& value, uint32_t id);
    // Links (holder, child) in the nested engine and queues the child's
    // indexing there, unless the child is the holder (noted in self_holders)
    // or holds it, directly or further up the chain of engines (that would
    // nest without end). `child` is a value of kind Ind. Whether the pair is
    // linked in the nested engine now.
    bool insert_indexable(const PyValue& child, uint32_t holder);
    // insert_indexable's checks alone: whether (holder, child) may be linked
    // in the nested engine (noting a holder that holds itself on the way).
    bool may_link(const PyValue& child, uint32_t holder);
    // Notes that the value of `holder` is a nested object linked to it
    // (linked_holders).
    void note_linked(uint32_t holder);
    // The objects whose value of this attribute is `child` itself, as the
    // links tell (linked_holders); the others have exact_values entries.
    Bitmap linked_holders_of(const PyValue& child) const;
    // The converted items of a container value held by `owner`.
    void insert_items(ContainerItems items, uint32_t owner);
    // Any value, by kind; `items` are the converted items of a container value.
    void insert_value(const PyValue& value, ContainerItems items, uint32_t id);

    // Replaces the value of `id` (either side may be missing) as one step for
    // readers; `items` are the converted items of the new value.
    void replace_value(const PyValue* old, const PyValue* value, ContainerItems items, uint32_t id);

    // Forgets `value` (the value stored for the attribute) for `id`, kind by
    // kind. For a container, every element the map issued for `id` goes: its
    // item leaves its sub-index and the element id is freed.
    void remove_id(const PyValue& value, uint32_t id);
    // Removes id from the value's set; the entry goes once its set is empty.
    void remove_exact(const PyValue& value, uint32_t id);
    // Forgets the nested object `child` as the value of `holder`: its entry
    // in linked_holders or in exact_values, and its link.
    void remove_nested_value(const PyValue& child, uint32_t holder);
    void remove_num_ordered(const OrderKey& key, uint32_t id);
    void remove_temporal(const TemporalValue& value, uint32_t id);
    void remove_elements_of(uint32_t owner);
    // Unlinks (holder, child) in the nested engine (or from self_holders); a
    // child left without holders is queued for removal from it.
    void unlink_indexable(const PyValue& child, uint32_t holder);
    // The members of `within` that hold themselves in this attribute.
    Bitmap self_holders_in(const Bitmap& within) const;

    // Removes the elements of every owner in `owners`, as remove_elements_of
    // does for one owner.
    void remove_elements_of_owners(const Bitmap& owners);

    // Replaces the element ids in `result` by their owners. Takes
    // element_ids, then element_owners, for reading, one after the other.
    // Callers hold the read lock of the sub-index the result came from: an
    // item leaves its sub-index before its element id is forgotten and freed,
    // so under that lock every element id in `result` can still be unmasked
    // (otherwise a freed, possibly reissued, element id would pass for an
    // object id). With `replaced`, it receives the element ids replaced.
    void unmask_ids(Bitmap& result, Bitmap* replaced = nullptr) const;

    // A writer holding the map's five structure locks until it is closed
    // (bulk_query_map_adder.hpp).
    BulkQueryMapAdder get_bulk_writer();

    // For insert_by_kind, which works on a map or on a bulk writer alike.
    QueryMap& map() noexcept { return *this; }
    bool link_nested(const PyValue& child, uint32_t holder) { return insert_indexable(child, holder); }
    // Records the element ids issued for the items of a container of `owner`.
    void record_elements(const std::vector<uint32_t>& elements, uint32_t owner, const ContainerItems& items);

private:
    // Takes the item of one element out of its sub-index.
    void remove_item(const ElementEntry& entry);
    // Takes the items of detached entries out of their sub-indexes, drops the
    // entries from element_owners and element_ids and frees their ids.
    void remove_detached(const std::vector<ElementEntry>& entries);
};

// The one place that says which structure a value of each kind goes to, for
// the map's single insertions and a bulk writer's alike (`sink`). `items` are
// the converted items of a container value.
template <class Sink>
void insert_by_kind(Sink& sink, const PyValue& value, ContainerItems items, uint32_t id) {
    const CastValue& p = value.primitive;
    switch (p.kind()) {
        case ValueKind::Int:
        case ValueKind::Float:
            sink.insert_num_ordered(*order_key_of(p), id);
            break;
        case ValueKind::Str:
            sink.insert_str(p.as_str().view(), id);
            break;
        case ValueKind::Bool:
            sink.insert_bool(p.as_bool(), id);
            break;
        case ValueKind::Iterable:
            sink.insert_items(std::move(items), id);
            break;
        case ValueKind::Ind:
            if (sink.link_nested(value, id)) {
                sink.note_linked(id);
            } else {
                sink.insert_exact(value, id);
            }
            break;
        case ValueKind::Unknown:
            sink.insert_exact(value, id);
            break;
        case ValueKind::Temporal:
            sink.insert_temporal(p.as_temporal(), id);
            break;
    }
}

// The items of a container of `owner`, each under an element id of its own.
template <class Sink>
void insert_items_by_kind(Sink& sink, ContainerItems items, uint32_t owner) {
    if (items.empty()) return;
    std::vector<uint32_t> elements(items.size());
    allocate_ids(ELEMENT_IDS, elements.data(), elements.size());
    sink.record_elements(elements, owner, items);
    for (size_t i = 0; i < elements.size(); ++i) {
        const std::optional<PyValue>& item = items[i];
        if (!item) continue;
        if (item->primitive.is_ind()) {
            // The element carries the value; the link names the object, so
            // nested results come back as holders without unmasking.
            sink.insert_exact(*item, elements[i]);
            sink.map().insert_indexable(*item, owner);
        } else {
            insert_by_kind(sink, *item, {}, elements[i]);
        }
    }
}
// Holds, shared, the replacement lock of every map that `queries` test
// directly (the first attribute of each path), for as long as it lives: the
// whole evaluation then sees each object with one value of each attribute,
// as it was before or after any assignment, never a mix. Taken in ascending
// attribute order after query_maps (a reader may hold several; a writer holds
// one at a time); the caller holds the query_maps read lock throughout.
class QueryReadHold {
public:
    QueryReadHold(const std::vector<std::unique_ptr<QueryMap>>& table, std::span<const QueryExpr> queries);
    ~QueryReadHold();
    QueryReadHold(const QueryReadHold&) = delete;
    QueryReadHold& operator=(const QueryReadHold&) = delete;

private:
    std::vector<const QueryMap*> held_;
};

}  // namespace tarnwick

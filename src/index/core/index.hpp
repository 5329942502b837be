// IndexAPI: the engine behind every Index and every nested index.
//
// An engine keeps four shared tables, each behind its own reader-writer lock:
// the value index of every attribute (QueryMap), the item table, the member
// ids and, in nested engines, the links from holder objects to the objects
// they hold. Object ids come from the objects themselves; the engine uses them
// as slot numbers and bitmap members.
//
// The lock order of the whole system is stated once, in src/README.md; every
// path through this engine follows it. A watch's lock (watch.hpp) comes before
// every lock of its engine: testing an object against a watch reads the value
// index under it, so nothing that holds an engine lock may wait for a watch.
//
// Engine operations run with the GIL released. The only Python work inside
// them is the conversion of container items, which takes the GIL while no
// engine lock is held.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <unordered_map>
#include <vector>

#include "index/core/filtered_view.hpp"
#include "index/core/gc_mirror.hpp"
#include "index/core/object_lock.hpp"
#include "index/core/query/container_items.hpp"
#include "index/core/query/query_expr.hpp"
#include "index/core/stored_item.hpp"
#include "index/core/structures/bitmap.hpp"
#include "index/core/structures/m2m.hpp"
#include "index/core/structures/snapshot_bitmap.hpp"
#include "index/core/structures/sync.hpp"
#include "index/core/watch.hpp"
#include "index/indexable_record.hpp"
#include "index/value.hpp"

namespace tarnwick {

class QueryMap;

class IndexAPI : public std::enable_shared_from_this<IndexAPI> {
public:
    // Slot i is the value index of the attribute whose interned name id is i;
    // a null slot stands for an empty map. Installed maps never move or go
    // away while the table lives, so a holder of the read lock may keep
    // references to them.
    using QueryMapTable = tarnwick::QueryMapTable;

    static std::shared_ptr<IndexAPI> create(std::weak_ptr<IndexAPI> parent = {});
    ~IndexAPI();
    IndexAPI(const IndexAPI&) = delete;
    IndexAPI& operator=(const IndexAPI&) = delete;

    // Guarded by its own lock, taken before any lock of a map.
    const std::shared_ptr<RwLocked<QueryMapTable>> query_maps;
    // Slot i holds the object with id i or nothing. Guarded by its own
    // lock; taken after member_ids when both are held.
    const SharedItemTable items;
    // Guarded by its own lock.
    const std::shared_ptr<SnapshotBitmap> member_ids;
    // Pairs (holder id, nested object id) of a nested engine; the holders are
    // objects of the parent engine. Guarded by its own lock, a leaf.
    const std::shared_ptr<RwLocked<M2MU32>> parent_links;
    // The engine whose QueryMap owns this one; empty for the engine of an Index.
    const std::weak_ptr<IndexAPI> parent;
    // The references of container items anywhere in this engine's tree (its
    // nested engines share the mirror of the engine above them), reported to
    // the garbage collector by the Index at the top.
    const std::shared_ptr<GcMirror> gc_mirror;
    // The open watches of this engine; the registry's lock is a leaf, each
    // watch's own lock comes before every lock of this engine (src/README.md).
    WatchRegistry watches;

    // Adds one object: registers this engine on it, indexes its attributes
    // (names starting with "_" skipped), indexes the objects nested below it
    // in the nested engines, and only then makes it a member, all under the
    // engine-list locks of the object and of its nested objects
    // (lock_with_nested), which serialize this with assignments to them.
    // Queries see it only once all its values are in, down every dotted
    // path. GIL released, no native lock held; nested work that could not
    // be done in place is queued (run_nested_tasks).
    void add_object(const StoredItem& item);

    // Adds a batch in one pass of bulk writers, indexing every attribute,
    // names starting with "_" included; the objects become members once all
    // their values, and those of the objects nested below them, are in (as
    // add_object). GIL released, no native lock held; nested work that could
    // not be done in place is queued.
    void add_object_many(std::vector<StoredItem> batch);
    // After a batch of `batch_size` objects went in: gives the process's free
    // pages back to the system if the batch was large, both absolutely and
    // against the engine (index.cpp says why). Call it once the batch's own
    // lists are freed too, with no lock held and the GIL released.
    void return_free_pages(size_t batch_size) const;

    // Undoes a failed addition (an allocation failure part way): the objects
    // leave member_ids (if they got there), every value structure, their
    // item slots and, through
    // queued work, the nested engines; the engine leaves their engine lists.
    // Pass only objects that were not members before the addition. GIL
    // released, no native lock held; nested work is queued.
    void withdraw(const std::vector<RecordPtr>& records);

    // Merges `other` into this engine (merge.cpp): the members of other
    // become members here with the values other holds for them, and are
    // registered on this engine. `incoming` holds the item this table takes
    // for each member of other (references of this engine's own); the result
    // lists the ids whose slot took one. Other is only read; merging an engine
    // into itself does nothing. The objects nested below the ones that join
    // are indexed in the nested engines before those become members (as
    // add_object). GIL released, no native lock held; nested work that could
    // not be done in place is queued (run_nested_tasks).
    std::vector<uint32_t> union_with(IndexAPI& other, std::vector<StoredItem> incoming);

    // Indexes one attribute value of `id`; nothing happens unless `id` is a
    // member (an object taken out of the engine may still list it). GIL
    // released; the caller may hold the object's locks but no engine lock.
    void add_index(uint32_t id, uint32_t attribute, const PyValue& value);
    // Forgets one attribute value of member `id`. Same conditions as add_index.
    void remove_index(uint32_t id, uint32_t attribute, const PyValue& value);
    // Replaces the value `old` of member `id` by `value` (either may be null)
    // as one step for queries on the attribute. Same conditions as add_index.
    void replace_index(uint32_t id, uint32_t attribute, const PyValue* old, const PyValue* value);

    // Whether this engine indexed the value of `attribute`, a name starting
    // with "_", for object `id`. add_object_many and merges index such values,
    // add_object and nested engines do not; only the indexed ones follow
    // assignments. Takes a leaf lock only.
    bool indexes_private(uint32_t id, uint32_t attribute) const;

    // Records (holder, nested); returns whether the pair is new.
    bool register_path(uint32_t holder, uint32_t nested_id);
    // Removes (holder, nested); returns whether that left nested without any
    // holder here.
    bool unregister_path(uint32_t holder, uint32_t nested_id);
    // The holders of the given nested objects, one level up.
    Bitmap get_parent_from_ids(const Bitmap& ids) const;
    // The holders of one nested object.
    Bitmap holders_of(uint32_t nested_id) const;
    bool has_holder(uint32_t nested_id) const;

    // Whether `candidate` is `holder` itself, or holds it through the chain
    // of engines above this one (its holder, the holder's holders, ...).
    // Also true when that chain is broken by an engine that is gone: the
    // check cannot see past it, so nothing may be nested below it.
    bool is_holder_or_ancestor(uint32_t holder, uint32_t candidate) const;

    // GIL released.
    bool is_member(uint32_t id) const;
    // The readers below may be called with or without the GIL: a thread
    // that holds it waits for a busy lock with the GIL released.
    Bitmap members() const;
    // The members as they are now, shared rather than copied: later changes
    // leave it as it is (SnapshotBitmap).
    std::shared_ptr<const Bitmap> member_snapshot() const;
    uint64_t member_count() const;
    // A view of every member.
    FilteredView whole() const;
    // Whether `obj` is the member with this id. GIL held.
    bool holds(uint32_t id, const PyObject* obj) const;

    // Takes one member out as an in-place reduction would: its values leave
    // every structure (container items and nested links included), its slot
    // is emptied and the engine leaves its engine list. False when it was no
    // member. GIL released, no native lock held; nested work is queued.
    bool remove_object(const RecordPtr& record);
    // Takes every member out, as remove_object would. GIL released, no native
    // lock held; nested work is queued.
    void remove_all();
    // The nested objects linked to the given holders.
    Bitmap children_of(const Bitmap& holders) const;
    // The items of the members whose slot holds an object, in ascending id
    // order.
    std::vector<StoredItem> member_items() const;
    // Their Python objects.
    std::vector<PyHandle> member_handles() const;

    // The map of an attribute, or null; the caller holds query_maps.
    static QueryMap* map_at(const QueryMapTable& table, uint32_t attribute) noexcept;

    // Reductions (reduction.cpp); GIL released, no native lock held.
    // Views of the members that satisfy every keyword equality / the query.
    FilteredView reduced(const KeywordQuery& conditions) const;
    FilteredView reduced_query(const QueryExpr& query) const;
    // The members that satisfy each of `queries`, all read under one hold of
    // the replacement locks (NestedAnswers asks an engine nested here).
    std::vector<Bitmap> reduced_query_ids(std::span<const QueryExpr> queries) const;
    // Keeps only the members that satisfy every keyword equality: the others
    // leave member_ids, every value structure and their item slots; nested
    // objects no kept object holds any more leave the nested engines. Work on
    // nested objects may be queued (run_nested_tasks).
    void reduce(const KeywordQuery& conditions);
    // The same for the members in `keep` (the engine thread tests).
    void keep_only_from_bitmap(const Bitmap& keep);

    // Run from the nested-task queue: make `child` a member with its
    // attributes indexed if it still has a holder here; take it out again if
    // it no longer has one.
    void add_nested_object(const StoredIndexable& child);
    // add_nested_object for many children at once: their engine lists
    // locked together (ascending ids), their values through one bulk writer
    // per attribute. A failure takes every child of the batch out again;
    // unlike add_nested_object, it queues nothing: the caller keeps the
    // children's tasks. Children whose lists this thread holds already (an
    // addition that locked them with its holders) are taken as they are.
    // With `wait` false, a child whose list another thread holds is left
    // out and returned, for its task to stay queued.
    std::vector<StoredIndexable> add_nested_objects(const std::vector<StoredIndexable>& children, bool wait = true);
    void remove_nested_object(const StoredIndexable& child);

    // Watches (index_watch.cpp). GIL released, no native lock held.
    // Registers a watch and fills its live set by evaluating the query once;
    // a query that cannot be evaluated registers nothing and throws.
    std::shared_ptr<Watch> open_watch(QueryExpr query, PyHandle callback);
    // Unregisters it; its live set stays as it was. Takes a leaf lock only.
    void close_watch(Watch& watch);
    // The members among `candidates` that satisfy `query`, each tested on its
    // own (id_match.hpp).
    Bitmap matched_among(const Bitmap& candidates, const QueryExpr& query) const;
    // The Python object of an id whose bit flips; may be null.
    using HandleOf = std::function<PyHandle(uint32_t)>;
    // Tests the objects `ids` again against the open watches whose queries
    // mention `attribute` (every open watch without one), queueing a notice
    // for each object that entered or left a live set, and then the holders
    // of those objects against the watches of the engines above whose paths
    // run through this one. `handle_of` names the objects (the item table
    // when empty); an object it cannot name keeps its bit, for the change
    // that took it out to settle.
    // `below`, when given, is the attribute changed in an engine below, which
    // a watch's query must mention too.
    void recheck_watches(const Bitmap& ids, std::optional<uint32_t> attribute, const HandleOf& handle_of = {},
                         std::optional<uint32_t> below = std::nullopt);
    // Whether a watch open on this engine or on one above it mentions the
    // attribute (is open at all, without one): false costs an atomic load or
    // two per engine of the chain. Any thread.
    bool watched(std::optional<uint32_t> attribute = std::nullopt) const;
    // The ids still in an open watch's live set that are no members any more:
    // after objects were taken out, these are the ones to test again (an
    // object leaves a live set only by being tested). Any thread.
    Bitmap watched_departures() const;
    // A view of `ids`, for the collection methods of a watch.
    FilteredView view_of_ids(Bitmap ids) const;
    // The object in the slot of `id`, or null. Takes the items lock.
    PyHandle member_handle(uint32_t id) const;

private:
    struct PreparedValue {
        uint32_t attribute;
        PyValue value;
        ContainerItems items;
    };

    explicit IndexAPI(std::weak_ptr<IndexAPI> parent);

    // add_object_many's work; the batch's memory goes when it returns.
    void add_batch(std::vector<StoredItem> batch);

    // Whether this engine was made for a QueryMap (parent given), as opposed
    // to an Index's engine, which has no parent by design.
    const bool made_nested_;

    // Held shared by every step that makes an object a member or indexes a
    // value of a member (the membership check and the insertion together),
    // and exclusively by an in-place reduction. Without it a reduction could
    // take an object out between another thread's check and its insertion,
    // leaving entries for an id that is no longer a member, which a new
    // object given the same id later would inherit. Never held while Python
    // code runs (container items are converted before it is taken), and a
    // thread holds it for one engine at a time, except a reduction, which
    // takes those of the nested engines after its own.
    mutable RwLock changes_;

    // Attribute id of a name starting with "_" -> the objects whose value of
    // it this engine indexed. Guarded by its own lock, a leaf.
    RwLocked<std::unordered_map<uint32_t, Bitmap>> private_values_;
    void note_private_values(uint32_t attribute, const Bitmap& ids);

    // Installs a map in the attribute's slot unless one is there already.
    void ensure_map(uint32_t attribute);
    void ensure_maps(const std::vector<uint32_t>& attributes);
    // Takes the ids out as an in-place reduction would, members or not.
    // Caller holds no engine lock.
    void drop_members(const Bitmap& gone);
    // Indexes the object's attributes as they are now (names starting with
    // "_" only if asked), then, if `join`, puts it into member_ids and its
    // item slot (else join_members does, later).
    // Caller holds the object's engine-list mutex and no engine lock.
    void join_indexed(const StoredItem& item, bool include_private, bool join = true);
    // join_indexed for the objects batch[i], i in `distinct` (ascending
    // ids, one entry per object): one bulk writer per attribute, then
    // membership for all at once if `join`. Caller holds their engine-list
    // mutexes and has registered the engine on them.
    void join_indexed_many(const std::vector<StoredItem>& batch, const std::vector<size_t>& distinct,
                           bool include_private, bool join = true);
    // join_indexed_many's work for the objects batch[i], i in `part`:
    // their values indexed through one bulk writer per attribute, under one
    // hold of changes_.
    template <class IsPrivate>
    void join_indexed_part(const std::vector<StoredItem>& batch, std::span<const size_t> part, bool include_private,
                           IsPrivate& is_private);
    // Puts the objects batch[i], i in `distinct`, into member_ids and their
    // item slots, under one hold of changes_. Caller holds their engine-list
    // mutexes, and their values are indexed.
    void join_members(const std::vector<StoredItem>& batch, const std::vector<size_t>& distinct);
    // Positions of `batch`, one per object (the last of duplicates), in
    // ascending id order.
    static std::vector<size_t> distinct_by_id(const std::vector<StoredItem>& batch);
    // Adds this engine to the object's engine list (once), trimming dead
    // entries and keeping the list sorted. Caller holds the list's mutex.
    void register_on(IndexMetaVec& metas);
    void unregister_from(IndexMetaVec& metas);

    FilteredView view_of(Bitmap ids, uint64_t epoch) const;
    // Keeps only the members in `keep`, for a caller that holds changes_
    // exclusively and the query_maps read lock.
    void keep_only_locked(const QueryMapTable& table, const Bitmap& keep);
    // The ids, already out of member_ids, leave the maps, the item table and
    // the nested engines. Same locks as keep_only_locked.
    void drop_locked(const QueryMapTable& table, const Bitmap& removed);
    // Takes the removed ids out of every map of `table` and out of the item
    // table; queues the nested engines that lost holders.
    void drop_from_maps(const QueryMapTable& table, const Bitmap& removed, std::vector<IndexAPI*>& nested_pending);
    // Unlinks every pair whose holder was removed; whether there was one.
    bool drop_holders(const Bitmap& removed);
    // Takes the members no holder links to any more out of member_ids.
    Bitmap take_out_unlinked();
};

// The shared empty engine that stands for "no engine" in engine lists.
const std::shared_ptr<IndexAPI>& DEFAULT_INDEX_ARC();

// Locks the engine lists of `holders` and of every object nested below them
// (held in an attribute, or in an attribute of one of those, and so on), in
// ascending id order as one batch. While they are held none of those objects
// changes, so the nested engines can index the nested ones before the
// holders become members (run_held_nested_additions) and a query never sees
// a holder whose nested values are not in yet. A holder this thread holds
// already fails as ObjectLocks::add does; a nested object it holds already
// counts as locked.
ObjectLocks lock_with_nested(std::vector<RecordPtr> holders);

// A copy of the object's attributes, taken under its attribute-map mutex.
std::vector<std::pair<uint32_t, PyValue>> snapshot_attributes(const IndexableRecord& record);

// Whether an attribute name id stands for a name starting with "_".
bool is_private_attribute(uint32_t attribute);

}  // namespace tarnwick

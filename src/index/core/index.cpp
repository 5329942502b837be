#include "index/core/index.hpp"

#include <algorithm>
#include <iterator>
#include <utility>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "index/core/nested_tasks.hpp"
#include "index/core/object_lock.hpp"
#include "index/core/query/bulk_query_map_adder.hpp"
#include "index/core/query/query_map.hpp"
#include "index/core/structures/string_interner.hpp"

namespace tarnwick {
namespace {

std::shared_ptr<GcMirror> mirror_below(const std::weak_ptr<IndexAPI>& parent) {
    if (std::shared_ptr<IndexAPI> up = parent.lock()) return up->gc_mirror;
    return std::make_shared<GcMirror>();
}

bool same_engine(const IndexMeta& meta, const std::weak_ptr<IndexAPI>& engine) noexcept {
    return !meta.owner_before(engine) && !engine.owner_before(meta);
}

// A batch allocates about as much again as the index keeps of it, for a
// while: the copies of the values, their converted items, the buffers of the
// writers. Freed, those pages stay with the process, scattered between the
// ones the index keeps, and a process that builds its index once and then
// serves it would hold them for good. After a batch that is large both
// absolutely and against what the engine held before, the free pages go
// back to the system. The walk costs time in proportion to the whole heap,
// so batches much smaller than the index do not pay it: growing an index by
// such batches trims a few times at its start and then reuses the pages one
// batch freed for the next.
constexpr size_t trim_batch = 16384;

// How many objects of a batch are indexed together (join_indexed_part).
constexpr size_t batch_part = 16384;


}  // namespace

std::shared_ptr<IndexAPI> IndexAPI::create(std::weak_ptr<IndexAPI> parent) {
    return std::shared_ptr<IndexAPI>(new IndexAPI(std::move(parent)));
}

IndexAPI::IndexAPI(std::weak_ptr<IndexAPI> parent_engine)
    : query_maps(std::make_shared<RwLocked<QueryMapTable>>()),
      items(std::make_shared<RwLocked<ItemTable>>()),
      member_ids(std::make_shared<SnapshotBitmap>()),
      parent_links(std::make_shared<RwLocked<M2MU32>>()),
      parent(std::move(parent_engine)),
      gc_mirror(mirror_below(parent)),
      made_nested_(parent.owner_before(std::weak_ptr<IndexAPI>()) ||
                   std::weak_ptr<IndexAPI>().owner_before(parent)) {}

IndexAPI::~IndexAPI() = default;

QueryMap* IndexAPI::map_at(const QueryMapTable& table, uint32_t attribute) noexcept {
    return attribute < table.size() ? table[attribute].get() : nullptr;
}

// ---- adding objects ----------------------------------------------------------

void IndexAPI::add_object(const StoredItem& item) {
    const IndexableRecord& record = *item.record;
    ObjectLocks held = lock_with_nested({item.record});
    register_on(record.index_metas().get());
    join_indexed(item, false, false);
    // The objects nested below it go into the nested engines first: a holder
    // whose nested values are missing would answer dotted queries wrongly.
    run_held_nested_additions();
    join_members({item}, {0});
}

void IndexAPI::join_indexed(const StoredItem& item, bool include_private, bool join) {
    const IndexableRecord& record = *item.record;
    std::vector<PreparedValue> values;
    std::vector<uint32_t> attributes;
    for (auto& [attribute, value] : snapshot_attributes(record)) {
        if (!include_private && is_private_attribute(attribute)) continue;
        ContainerItems container_items = container_items_of(value, gc_mirror.get());
        attributes.push_back(attribute);
        values.push_back(PreparedValue{attribute, std::move(value), std::move(container_items)});
    }
    ensure_maps(attributes);
    StoredItem previous;
    // Values first, membership last, under one hold: queries keep only
    // members, so none sees the object with some of its values missing, and
    // no in-place reduction comes in between.
    ReadGuard changing(changes_);
    {
        ReadGuard g(query_maps->lock());
        for (PreparedValue& v : values)
            map_at(query_maps->get(), v.attribute)->insert_value(v.value, std::move(v.items), record.id);
    }
    if (!join) return;
    WriteGuard members_guard(member_ids->lock());
    WriteGuard items_guard(items->lock());
    Bitmap& members = member_ids->edit();
    reserve_item_slot(items->get(), record.id);
    members.add(record.id);
    previous = fill_slot(items->get(), record.id, item);
}

void IndexAPI::register_on(IndexMetaVec& metas) {
    const IndexAPI* default_engine = DEFAULT_INDEX_ARC().get();
    trim_indexes(metas, default_engine);
    const std::weak_ptr<IndexAPI> self = weak_from_this();
    for (const IndexMeta& meta : metas)
        if (same_engine(meta, self)) return;
    metas.push_back(self);
    sort_index_metas(metas, default_engine);
}

void IndexAPI::unregister_from(IndexMetaVec& metas) {
    const std::weak_ptr<IndexAPI> self = weak_from_this();
    erase_if(metas, [&self](const IndexMeta& meta) { return same_engine(meta, self); });
}

void IndexAPI::ensure_maps(const std::vector<uint32_t>& attributes) {
    std::vector<uint32_t> missing;
    {
        ReadGuard g(query_maps->lock());
        for (uint32_t attribute : attributes)
            if (!map_at(query_maps->get(), attribute)) missing.push_back(attribute);
    }
    for (uint32_t attribute : missing) ensure_map(attribute);
}

void IndexAPI::ensure_map(uint32_t attribute) {
    alloc_point();
    // Built outside the write lock; if another thread installed a map
    // meanwhile, that one is kept and this one dropped unused, so no insertion
    // into either is lost.
    auto fresh = std::make_unique<QueryMap>(weak_from_this());
    WriteGuard g(query_maps->lock());
    QueryMapTable& table = query_maps->get();
    if (table.size() <= attribute) table.resize(size_t(attribute) + 1);
    if (!table[attribute]) table[attribute] = std::move(fresh);
}

void IndexAPI::add_index(uint32_t id, uint32_t attribute, const PyValue& value) {
    replace_index(id, attribute, nullptr, &value);
}

void IndexAPI::remove_index(uint32_t id, uint32_t attribute, const PyValue& value) {
    replace_index(id, attribute, &value, nullptr);
}

void IndexAPI::replace_index(uint32_t id, uint32_t attribute, const PyValue* old, const PyValue* value) {
    // An object taken out of the engine (by an in-place reduction, or a nested
    // object that lost its last holder) may still list the engine; its
    // assignments must not bring it back piecemeal.
    if (!is_member(id)) return;
    ContainerItems container_items;
    if (value) container_items = container_items_of(*value, gc_mirror.get());
    ReadGuard changing(changes_);
    if (!is_member(id)) return;
    for (;;) {
        {
            ReadGuard g(query_maps->lock());
            if (QueryMap* map = map_at(query_maps->get(), attribute)) {
                map->replace_value(old, value, std::move(container_items), id);
                return;
            }
        }
        if (!value) return;
        ensure_map(attribute);
    }
}

void IndexAPI::add_object_many(std::vector<StoredItem> batch) {
    if (batch.empty()) return;
    add_batch(std::move(batch));
}

void IndexAPI::return_free_pages(size_t batch_size) const {
#if defined(__GLIBC__)
    if (batch_size >= trim_batch && batch_size * 4 >= member_count()) malloc_trim(0);
#else
    (void)batch_size;
#endif
}

void IndexAPI::add_batch(std::vector<StoredItem> batch) {
    const std::vector<size_t> distinct = distinct_by_id(batch);
    std::vector<RecordPtr> holders;
    holders.reserve(distinct.size());
    for (size_t i : distinct) holders.push_back(batch[i].record);
    ObjectLocks held = lock_with_nested(std::move(holders));
    for (size_t i : distinct) register_on(batch[i].record->index_metas().get());
    join_indexed_many(batch, distinct, true, false);
    // The nested objects go into the nested engines before their holders
    // become members (see add_object). The engine lists are unlocked when
    // `held` goes; nested work that could not be done here (an object met
    // only in a container another thread holds) runs after that
    // (run_nested_tasks).
    run_held_nested_additions();
    join_members(batch, distinct);
}

ObjectLocks lock_with_nested(std::vector<RecordPtr> holders) {
    auto by_id = [](const RecordPtr& a, const RecordPtr& b) {
        return a->id < b->id;
    };
    // A batch comes in ascending ids already (distinct_by_id), and often so
    // do the objects its members hold.
    auto sort_by_id = [&by_id](std::vector<RecordPtr>& records) {
        if (!std::is_sorted(records.begin(), records.end(), by_id)) std::sort(records.begin(), records.end(), by_id);
    };
    sort_by_id(holders);
    // Found below the holders on an earlier try, locked with them on the next.
    std::vector<RecordPtr> nested;
    for (;;) {
        ObjectLocks held;
        Bitmap seen;
        auto first_sight = [&seen](uint32_t id) {
            if (seen.contains(id)) return false;
            seen.add(id);
            return true;
        };
        if (nested.empty()) {
            held.reserve(holders.size());
            for (const auto& record : holders) {
                held.add(record->index_metas().lock());
                seen.add(record->id);
            }
        } else {
            // Every object known so far, waited for in ascending id order.
            std::vector<RecordPtr> all(holders);
            all.insert(all.end(), nested.begin(), nested.end());
            sort_by_id(all);
            held.reserve(all.size());
            for (const auto& record : all) {
                if (!first_sight(record->id)) continue;
                Mutex& list = record->index_metas().lock();
                // A nested object this thread holds (it is indexing it) is
                // locked as it is; a holder must not be.
                if (holds_object_lock(list) && !std::binary_search(holders.begin(), holders.end(), record, by_id))
                    continue;
                held.add(list);
            }
        }
        // With these held, the objects they hold stay as they are: follow
        // them down, taking each without waiting (a wait here, out of id
        // order, could close a cycle with another batch).
        std::vector<RecordPtr> level = holders;
        if (!nested.empty()) level.insert(level.end(), nested.begin(), nested.end());
        bool complete = true;
        while (!level.empty() && complete) {
            std::vector<RecordPtr> below;
            std::vector<IterableValue> containers;
            for (const auto& record : level) {
                MutexGuard g(record->attribute_map().lock());
                record->attribute_map().get().for_each([&](const uint32_t&, const PyValue& value) {
                    if (value.primitive.is_iterable()) {
                        if (value.primitive.as_iterable().kind != ContainerKind::Dict)
                            containers.push_back(value.primitive.as_iterable());
                        return;
                    }
                    if (!value.primitive.is_ind()) return;
                    const RecordPtr& child = value.primitive.as_ind().record;
                    if (child && first_sight(child->id)) below.push_back(child);
                });
            }
            // The objects inside container values are nested below the
            // holder as well (items.n): the conversion that indexes the
            // holder meets them, and a holder must not become a member
            // before them either. Reading the containers takes the GIL, as
            // that conversion does with these same locks held.
            if (!containers.empty()) {
                std::vector<RecordPtr> found;
                {
                    GilAcquire gil;
                    for (const IterableValue& container : containers) indexables_in(container, found);
                }
                for (auto& child : found)
                    if (first_sight(child->id)) below.push_back(std::move(child));
            }
            sort_by_id(below);
            for (const auto& child : below) {
                nested.push_back(child);
                Mutex& list = child->index_metas().lock();
                if (complete && !holds_object_lock(list) && !held.try_add(list)) complete = false;
            }
            level = std::move(below);
        }
        if (complete) return held;
        // Busy: let go of everything and wait for all of them in order.
    }
}

std::vector<size_t> IndexAPI::distinct_by_id(const std::vector<StoredItem>& batch) {
    // One entry per object (the last of duplicates), in ascending id order:
    // the order in which a batch locks the objects' engine lists.
    // Sorted as (id, position) pairs: comparing through the records would
    // fetch two of them for every comparison.
    std::vector<std::pair<uint32_t, size_t>> keyed;
    keyed.reserve(batch.size());
    bool sorted = true;
    for (size_t i = 0; i < batch.size(); ++i) {
        const uint32_t id = batch[i].record->id;
        if (!keyed.empty() && id <= keyed.back().first) sorted = false;
        keyed.emplace_back(id, i);
    }
    if (!sorted) std::sort(keyed.begin(), keyed.end());
    std::vector<size_t> last;
    last.reserve(keyed.size());
    for (size_t k = 0; k < keyed.size(); ++k) {
        if (k > 0 && keyed[k - 1].first == keyed[k].first) {
            last.back() = keyed[k].second;
        } else {
            last.push_back(keyed[k].second);
        }
    }
    return last;
}

void IndexAPI::join_indexed_many(const std::vector<StoredItem>& batch, const std::vector<size_t>& distinct,
                                 bool include_private, bool join) {
    // Whether each attribute is private, looked up once per attribute.
    std::vector<signed char> private_of;
    auto is_private = [&private_of](uint32_t attribute) {
        if (attribute >= private_of.size()) private_of.resize(size_t(attribute) + 1, -1);
        if (private_of[attribute] < 0) private_of[attribute] = is_private_attribute(attribute) ? 1 : 0;
        return private_of[attribute] == 1;
    };
    // The batch goes in a part at a time: what indexing a part needs for a
    // while (its list of values, the converted items of its containers, the
    // writers' buffers) is then as large as a part, not as the batch, and
    // the next part reuses it. Objects that are no members yet are no in-place
    // reduction's business, so letting changes_ go between parts changes
    // nothing a reader can see.
    for (size_t from = 0; from < distinct.size(); from += batch_part) {
        const size_t to = std::min(distinct.size(), from + batch_part);
        join_indexed_part(batch, std::span<const size_t>(distinct).subspan(from, to - from), include_private,
                          is_private);
    }
    if (join) join_members(batch, distinct);
}

template <class IsPrivate>
void IndexAPI::join_indexed_part(const std::vector<StoredItem>& batch, std::span<const size_t> part,
                                 bool include_private, IsPrivate& is_private) {
    // The values are read in place, not copied. The caller holds the engine
    // lists of these objects, and their attribute maps are written only
    // under the engine list (and the GIL), but for the collector's clearing
    // of an unreachable object, which the batch's references rule out; Python
    // code run by the conversion below on this thread cannot take the lists
    // either (ObjectLockedError). So every value stays where it is until the
    // lists are released, and the map's own mutex is needed only while its
    // entries are listed.
    struct Entry {
        uint32_t id;
        uint32_t attribute;
        const PyValue* value;
        uint32_t items;  // position in `converted`, or no_items
    };
    constexpr uint32_t no_items = UINT32_MAX;
    std::vector<Entry> entries;
    entries.reserve(part.size() * 8);
    bool any_container = false;
    for (size_t i : part) {
        const IndexableRecord& record = *batch[i].record;
        MutexGuard g(record.attribute_map().lock());
        record.attribute_map().get().for_each([&](const uint32_t& attribute, const PyValue& value) {
            any_container = any_container || value.primitive.is_iterable();
            entries.push_back(Entry{record.id, attribute, &value, no_items});
        });
    }
    if (!include_private)
        std::erase_if(entries, [&is_private](const Entry& e) { return is_private(e.attribute); });
    // The attributes of the part, each once (most objects share them all).
    std::vector<uint32_t> attributes;
    {
        std::vector<bool> seen;
        for (const Entry& e : entries) {
            if (e.attribute >= seen.size()) seen.resize(size_t(e.attribute) + 1, false);
            if (!seen[e.attribute]) {
                seen[e.attribute] = true;
                attributes.push_back(e.attribute);
            }
        }
    }
    // Container items are converted now, under one GIL acquisition and
    // before any engine lock.
    std::vector<ContainerItems> converted;
    if (any_container) {
        GilAcquire gil;
        for (Entry& e : entries) {
            if (!e.value->primitive.is_iterable()) continue;
            e.items = static_cast<uint32_t>(converted.size());
            converted.push_back(convert_container_items(e.value->primitive.as_iterable(), gc_mirror.get()));
        }
    }

    std::sort(attributes.begin(), attributes.end());
    ensure_maps(attributes);

    std::vector<uint32_t> private_attributes;
    std::copy_if(attributes.begin(), attributes.end(), std::back_inserter(private_attributes), is_private);
    // Values first, membership last (join_members): queries and collect()
    // keep only members, so none sees an object of the batch before all its
    // values are in.
    ReadGuard changing(changes_);
    ReadGuard g(query_maps->lock());
    const QueryMapTable& table = query_maps->get();
    // One writer per attribute of the part, opened in slot order.
    std::vector<BulkQueryMapAdder> writers;
    writers.reserve(attributes.size());
    for (uint32_t attribute : attributes) writers.emplace_back(*table[attribute]);
    auto writer_of = [&](uint32_t attribute) -> BulkQueryMapAdder& {
        auto at = std::lower_bound(attributes.begin(), attributes.end(), attribute);
        return writers[size_t(at - attributes.begin())];
    };
    for (const Entry& e : entries)
        writer_of(e.attribute).insert_value(*e.value, e.items == no_items ? ContainerItems{} : std::move(converted[e.items]),
                                            e.id);
    for (BulkQueryMapAdder& w : writers) w.close();
    for (BulkQueryMapAdder& w : writers) w.finish();

    // Values of names starting with "_" follow later assignments in the
    // engines that indexed them. Noted under the same hold of changes_ as the
    // insertion, so that a reduction clears the note with them.
    for (uint32_t attribute : private_attributes) {
        Bitmap holders;
        for (const Entry& e : entries)
            if (e.attribute == attribute) holders.add(e.id);
        if (!holders.empty()) note_private_values(attribute, holders);
    }
}

void IndexAPI::join_members(const std::vector<StoredItem>& batch, const std::vector<size_t>& distinct) {
    std::vector<StoredItem> previous;
    previous.reserve(distinct.size());
    // Not an in-place reduction's business while it runs: the objects are no
    // members yet, so a reduction before it leaves their values alone.
    ReadGuard changing(changes_);
    WriteGuard members_guard(member_ids->lock());
    WriteGuard items_guard(items->lock());
    Bitmap& members = member_ids->edit();
    ItemTable& slots = items->get();
    // Room for every slot first: running out of memory here changes nothing.
    for (size_t i : distinct) reserve_item_slot(slots, batch[i].record->id);
    for (size_t i : distinct) {
        const uint32_t id = batch[i].record->id;
        members.add(id);
        previous.push_back(fill_slot(slots, id, batch[i]));
    }
}

// ---- nested engines ------------------------------------------------------------

void IndexAPI::drop_members(const Bitmap& gone) {
    WriteGuard changing(changes_);
    ReadGuard maps(query_maps->lock());
    {
        WriteGuard g(member_ids->lock());
        member_ids->edit() -= gone;
    }
    // Whether they became members or not: an addition that failed part way
    // may have indexed values of objects it had not made members yet.
    drop_locked(query_maps->get(), gone);
}

void IndexAPI::withdraw(const std::vector<RecordPtr>& records) {
    Bitmap gone;
    for (const auto& record : records) gone.add(record->id);
    if (gone.empty()) return;
    drop_members(gone);
    for (const auto& record : records) {
        ObjectLocks metas(record->index_metas().lock());
        if (!is_member(record->id)) unregister_from(record->index_metas().get());
    }
}

bool IndexAPI::indexes_private(uint32_t id, uint32_t attribute) const {
    ReadGuard g(private_values_.lock());
    const auto& noted = private_values_.get();
    auto found = noted.find(attribute);
    return found != noted.end() && found->second.contains(id);
}

void IndexAPI::note_private_values(uint32_t attribute, const Bitmap& ids) {
    WriteGuard g(private_values_.lock());
    private_values_.get()[attribute] |= ids;
}

bool IndexAPI::register_path(uint32_t holder, uint32_t nested_id) {
    WriteGuard g(parent_links->lock());
    return parent_links->get().add(holder, nested_id);
}

bool IndexAPI::unregister_path(uint32_t holder, uint32_t nested_id) {
    WriteGuard g(parent_links->lock());
    M2MU32& links = parent_links->get();
    return links.remove(holder, nested_id) && !links.has_right(nested_id);
}

Bitmap IndexAPI::get_parent_from_ids(const Bitmap& ids) const {
    ReadGuard g(parent_links->lock());
    return parent_links->get().lefts_of_many(ids);
}

Bitmap IndexAPI::holders_of(uint32_t nested_id) const {
    ReadGuard g(parent_links->lock());
    return parent_links->get().lefts_of(nested_id);
}

bool IndexAPI::has_holder(uint32_t nested_id) const {
    ReadGuard g(parent_links->lock());
    return parent_links->get().has_right(nested_id);
}

bool IndexAPI::is_holder_or_ancestor(uint32_t holder, uint32_t candidate) const {
    if (holder == candidate) return true;
    Bitmap level{holder};
    std::shared_ptr<const IndexAPI> keep_alive;
    const IndexAPI* engine = this;
    for (;;) {
        std::shared_ptr<const IndexAPI> up = engine->parent.lock();
        // A nested engine outliving its parent (kept by queued work, or by a
        // view of a dropped index) cannot tell what lies above it; nesting on
        // regardless could repeat a cycle without end, one fresh engine at a
        // time.
        if (!up) return engine->made_nested_;
        level = engine->get_parent_from_ids(level);
        if (level.empty()) return false;
        if (level.contains(candidate)) return true;
        keep_alive = std::move(up);
        engine = keep_alive.get();
    }
}

void IndexAPI::add_nested_object(const StoredIndexable& child) {
    const RecordPtr& record = child.owned_handle;
    if (!record) return;
    ObjectLocks metas(record->index_metas().lock());
    // The links may have changed since the task was queued.
    if (!has_holder(record->id) || is_member(record->id)) return;
    try {
        register_on(record->index_metas().get());
        join_indexed(StoredItem{child.python_handle, record}, false);
    } catch (...) {
        // Half indexed, the child would answer queries wrongly for every
        // holder: it goes out again, and the task waits for the next run.
        try {
            Bitmap gone{record->id};
            drop_members(gone);
            unregister_from(record->index_metas().get());
            defer_nested_add(shared_from_this(), child);
        } catch (...) {
            if (thread_exiting()) throw;
        }
        throw;
    }
}

std::vector<StoredIndexable> IndexAPI::add_nested_objects(const std::vector<StoredIndexable>& children, bool wait) {
    std::vector<StoredItem> batch;
    batch.reserve(children.size());
    for (const StoredIndexable& child : children)
        if (child.owned_handle) batch.push_back(StoredItem{child.python_handle, child.owned_handle});
    std::vector<StoredIndexable> left;
    if (batch.empty()) return left;
    const std::vector<size_t> distinct = distinct_by_id(batch);
    ObjectLocks held;
    held.reserve(distinct.size());
    std::vector<size_t> locked;
    locked.reserve(distinct.size());
    for (size_t i : distinct) {
        Mutex& list = batch[i].record->index_metas().lock();
        if (holds_object_lock(list)) {
            // Locked by the addition of its holder, on this thread.
        } else if (wait) {
            held.add(list);
        } else if (!held.try_add(list)) {
            left.push_back(StoredIndexable{batch[i].python_handle, batch[i].record});
            continue;
        }
        locked.push_back(i);
    }
    // The links may have changed since the tasks were queued. Read under one
    // hold of each lock for the whole batch.
    std::vector<size_t> joining;
    joining.reserve(locked.size());
    {
        ReadGuard members(member_ids->lock());
        ReadGuard links(parent_links->lock());
        const Bitmap& member_set = member_ids->get();
        const M2MU32& pairs = parent_links->get();
        for (size_t i : locked) {
            const uint32_t id = batch[i].record->id;
            if (pairs.has_right(id) && !member_set.contains(id)) joining.push_back(i);
        }
    }
    if (joining.empty()) return left;
    try {
        for (size_t i : joining) register_on(batch[i].record->index_metas().get());
        join_indexed_many(batch, joining, false);
    } catch (...) {
        // Half indexed, the children would answer queries wrongly for every
        // holder: they go out again (their tasks stay queued).
        try {
            Bitmap gone;
            for (size_t i : joining) gone.add(batch[i].record->id);
            drop_members(gone);
            for (size_t i : joining) unregister_from(batch[i].record->index_metas().get());
        } catch (...) {
            if (thread_exiting()) throw;
        }
        throw;
    }
    return left;
}

void IndexAPI::remove_nested_object(const StoredIndexable& child) {
    const RecordPtr& record = child.owned_handle;
    if (!record) return;
    ObjectLocks metas(record->index_metas().lock());
    const uint32_t id = record->id;
    if (has_holder(id) || !is_member(id)) return;
    // The values indexed are the current ones: every assignment since the
    // object joined went through this engine under the same lock.
    for (const auto& [attribute, value] : snapshot_attributes(*record)) {
        if (is_private_attribute(attribute)) continue;
        remove_index(id, attribute, value);
    }
    {
        WriteGuard g(member_ids->lock());
        member_ids->edit().remove(id);
    }
    StoredItem previous;
    {
        WriteGuard g(items->lock());
        ItemTable& table = items->get();
        if (id < table.size()) {
            advance_table_epoch();
            previous = empty_slot(table, id);
        }
    }
    // The item may hold a reference made for a container item of this tree.
    gc_mirror->release_later(previous.python_handle);
    unregister_from(record->index_metas().get());
}

// ---- reading ---------------------------------------------------------------------

bool IndexAPI::is_member(uint32_t id) const {
    // Hot, and never called with the GIL held.
    ReadGuard g(member_ids->lock());
    return member_ids->get().contains(id);
}

Bitmap IndexAPI::members() const {
    GilSafeReadGuard<RwLock> g(member_ids->lock());
    return member_ids->get().clone();
}

std::shared_ptr<const Bitmap> IndexAPI::member_snapshot() const {
    GilSafeReadGuard<RwLock> g(member_ids->lock());
    return member_ids->snapshot();
}

uint64_t IndexAPI::member_count() const {
    GilSafeReadGuard<RwLock> g(member_ids->lock());
    return member_ids->get().cardinality();
}

std::vector<StoredItem> IndexAPI::member_items() const {
    std::vector<StoredItem> out;
    GilSafeReadGuard<RwLock> members_guard(member_ids->lock());
    out.reserve(member_ids->get().cardinality());
    const ItemTable& table = items->get();
    for_each_present_item(*items, member_ids->get(),
                          [&](uint32_t id, const ItemSlot&) { out.push_back(table.item(id)); });
    return out;
}

std::vector<PyHandle> IndexAPI::member_handles() const {
    std::vector<PyHandle> out;
    for (StoredItem& item : member_items()) out.push_back(std::move(item.python_handle));
    return out;
}

// ---- free functions -----------------------------------------------------------

const std::shared_ptr<IndexAPI>& DEFAULT_INDEX_ARC() {
    // Pure native; never released, so it outlives every engine list.
    static const auto* arc = new std::shared_ptr<IndexAPI>(IndexAPI::create());
    return *arc;
}

std::vector<std::pair<uint32_t, PyValue>> snapshot_attributes(const IndexableRecord& record) {
    std::vector<std::pair<uint32_t, PyValue>> out;
    MutexGuard g(record.attribute_map().lock());
    const AttributeMapData& map = record.attribute_map().get();
    out.reserve(map.len());
    map.for_each([&out](const uint32_t& attribute, const PyValue& value) { out.emplace_back(attribute, value); });
    return out;
}

bool is_private_attribute(uint32_t attribute) {
    InternerSnapshot names = INTERNER().snapshot();
    if (attribute >= names->size()) return false;
    const std::string_view name = names->text(attribute);
    return !name.empty() && name.front() == '_';
}

}  // namespace tarnwick

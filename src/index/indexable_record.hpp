// The native record of an Indexable (the Python base class of every object an
// Index can hold, interfaces/indexable.hpp) and the layout of its instances.
//
// Attributes live in a native map keyed by interned name id. The record is
// shared (not copied) with nested-value views and engine item tables, so all
// of them see the same attributes and the same list of engines.
#pragma once

#include "index/pyref.hpp"

#include <cstdint>
#include <memory>
#include <vector>

#include "index/core/structures/id_alloc.hpp"
#include "index/core/structures/sync.hpp"
#include "index/core/structures/hybrid_hashmap.hpp"
#include "index/value.hpp"

namespace tarnwick {

class IndexAPI;

// An engine the object belongs to. Weak: objects never keep engines alive.
using IndexMeta = std::weak_ptr<IndexAPI>;

// An object's engines, with room for one in place: most objects belong to
// one engine at most, and then registering allocates nothing. More spill
// into a heap array. The subset of std::vector the engines use.
class IndexMetaVec {
public:
    using value_type = IndexMeta;
    using iterator = IndexMeta*;
    using const_iterator = const IndexMeta*;

    IndexMetaVec() noexcept {}
    IndexMetaVec(const IndexMetaVec& o) : IndexMetaVec() {
        reserve(o.size_);
        for (const IndexMeta& meta : o) push_back(meta);
    }
    IndexMetaVec(IndexMetaVec&& o) noexcept : IndexMetaVec() { take(o); }
    IndexMetaVec& operator=(const IndexMetaVec& o) {
        if (this != &o) *this = IndexMetaVec(o);
        return *this;
    }
    IndexMetaVec& operator=(IndexMetaVec&& o) noexcept {
        if (this != &o) {
            clear_storage();
            take(o);
        }
        return *this;
    }
    ~IndexMetaVec() { clear_storage(); }

    size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    IndexMeta* begin() noexcept { return data(); }
    IndexMeta* end() noexcept { return data() + size_; }
    const IndexMeta* begin() const noexcept { return data(); }
    const IndexMeta* end() const noexcept { return data() + size_; }
    IndexMeta& operator[](size_t i) noexcept { return data()[i]; }
    const IndexMeta& operator[](size_t i) const noexcept { return data()[i]; }

    void reserve(size_t n);
    void push_back(IndexMeta meta);
    // Drops the tail [first, last); last must be end().
    void erase(IndexMeta* first, IndexMeta* last) noexcept;
    // Drops the entries pred accepts, keeping the order of the rest.
    template <class Pred>
    void erase_if(Pred pred) {
        IndexMeta* kept = begin();
        for (IndexMeta* it = begin(); it != end(); ++it) {
            if (pred(*it)) continue;
            if (kept != it) *kept = std::move(*it);
            ++kept;
        }
        erase(kept, end());
    }

    // Room the list has without allocating again (1 in place).
    size_t capacity() const noexcept { return cap_; }

private:
    bool inline_form() const noexcept { return cap_ == 1; }
    IndexMeta* data() noexcept { return inline_form() ? &one_ : heap_; }
    const IndexMeta* data() const noexcept { return inline_form() ? &one_ : heap_; }
    void clear_storage() noexcept;
    void take(IndexMetaVec& o) noexcept;

    union {
        IndexMeta one_;    // cap_ == 1
        IndexMeta* heap_;  // cap_ > 1
    };
    uint32_t size_ = 0;
    uint32_t cap_ = 1;
};

template <class Pred>
void erase_if(IndexMetaVec& list, Pred pred) {
    list.erase_if(std::move(pred));
}

using IndexMetaList = LockedRef<IndexMetaVec, Mutex>;

// An object's attributes. Writers hold both the GIL and the mutex (attribute
// assignment, breaking GC cycles); engines read it under the mutex with the
// GIL released; Python-side readers hold the GIL and may skip the mutex. The
// garbage collector's traversal and the fast attribute read rely on this: do
// not write a map without the GIL.
using AttributeMapData = HybridHashmap<uint32_t, PyValue>;
using AttributeMap = LockedRef<AttributeMapData, Mutex>;

// index_metas is locked before attribute_map, both before any engine lock (the
// lock order: src/README.md).
//
// The engine list, the attribute map and the count of holders live inside
// the record, so an object costs one native allocation of 56 bytes (a 64-byte
// chunk of the allocator). Every holder (the Python object, engine item
// tables, the nested values that hold the object) shares this one record
// through a one-word RecordPtr, and the last of them frees the id, on
// whichever thread drops it. Both lists are reached through a const record:
// they are guarded by their own mutexes, not by the record's constness. The
// two mutexes sit side by side, ahead of what they guard, so that neither
// pads its value out to the next word.
struct IndexableRecord {
    const uint32_t id;

    IndexableRecord(AttributeMapData map, DrawnId object_id) noexcept
        : id(object_id.id), map_(std::move(map)), id_stream(object_id.stream) {}
    explicit IndexableRecord(DrawnId object_id) noexcept : IndexableRecord(AttributeMapData(), object_id) {}
    IndexableRecord(const IndexableRecord&) = delete;
    IndexableRecord& operator=(const IndexableRecord&) = delete;
    ~IndexableRecord();

    IndexMetaList index_metas() const noexcept { return {metas_, metas_lock_}; }
    AttributeMap attribute_map() const noexcept { return {map_, map_lock_}; }

    // How many holders share the record right now (a snapshot: other threads
    // may take or drop theirs meanwhile).
    uint32_t holder_count() const noexcept { return holders_.load(); }

    // A record holding map, with a freshly allocated id from the stream of
    // `kind` (the object's class) that the record frees. Safe without the GIL.
    static RecordPtr make(AttributeMapData map, const void* kind = nullptr);
    // Empty engine list, empty map.
    static RecordPtr make_default(const void* kind = nullptr);

private:
    friend void count_up(const IndexableRecord* record) noexcept;
    friend void count_down(const IndexableRecord* record) noexcept;

    mutable EmbeddedCount holders_;
    mutable Mutex map_lock_;
    mutable Mutex metas_lock_;
    mutable AttributeMapData map_;
    mutable IndexMetaVec metas_;

public:
    const IdStream id_stream;  // where the id goes back to
};
// Every object has one, in a 64-byte chunk of the allocator: the count, both
// lists, both mutexes and the id within 56 bytes (the chunk's 8-byte header
// makes the rest).
static_assert(sizeof(IndexableRecord) <= 56);
static_assert(sizeof(RecordPtr) == sizeof(void*));

// Drops dead entries and those pointing at `target` (DEFAULT_INDEX_ARC for
// every caller), keeping the order of the rest. Caller holds the list's mutex.
void trim_indexes(IndexMetaVec& list, const IndexAPI* target);

// Stable ascending sort by engine address; dead entries sort as `dead_key`
// (the address of DEFAULT_INDEX_ARC). Caller holds the list's mutex.
void sort_index_metas(IndexMetaVec& list, const IndexAPI* dead_key);

// Appends `engine` to the record's engine list, trims and sorts it. Locks the
// list plainly: call it with the GIL released.
void register_index_meta(const IndexableRecord& record, IndexMeta engine, const IndexAPI* default_index);

// ---- instances ----------------------------------------------------------------
//
// Every instance of the Indexable class or a subclass has this layout. The
// class (interfaces/indexable.cpp) registers itself in the type registry
// (INDEXABLE_TYPE_CELL, types.hpp) when it is made; until then no instance
// exists.
struct IndexableObject {
    PyObject_HEAD
    PyObject* weakreflist;
    alignas(RecordPtr) unsigned char record_storage[sizeof(RecordPtr)];
    // The record's attribute map as one word (HybridHashmap::raw), kept
    // here so that an attribute read goes from the object straight to the
    // pairs, past the record. Every write to the map takes it again
    // (refresh_attribute_cache) before any Python code can run; null once the
    // record is dropped.
    const void* attribute_cache;
    // The instance dict of the subclasses that show one (the class's
    // __dict__), made on first use. Its own slot here keeps Python from
    // giving every subclass a dict of its own in front of the object: with
    // the GC header an instance takes 64 bytes, a size class of its own.
    PyObject* dict;
};
// 48 bytes with the usual 16-byte object head.
static_assert(sizeof(IndexableObject) == sizeof(PyObject) + 4 * sizeof(void*));

// Takes the map's word again into the instance; after every write to the
// map of the record of self, with the GIL held.
void refresh_attribute_cache(PyObject* self) noexcept;

// The stored value of attribute attr_id of an Indexable instance, through the
// instance's copy of its map's word; null if it has none. GIL held.
inline const PyValue* cached_attribute(PyObject* self, uint32_t attr_id) noexcept {
    return AttributeMapData::find_in(reinterpret_cast<const IndexableObject*>(self)->attribute_cache, attr_id);
}

// Whether obj is an Indexable or an instance of a subclass.
bool is_indexable(PyObject* obj) noexcept;

// The native record of an Indexable instance (is_indexable must hold). The
// reference is valid while the Python object lives; it is empty once the
// instance is being deallocated.
RecordPtr& indexable_record(PyObject* obj) noexcept;

// A new instance of cls (Indexable or a subclass) holding record. Null with
// an error set on failure, in which case the record is released.
PyObject* indexable_wrap(PyTypeObject* cls, RecordPtr record);

// Keeps the memory of a released exact Indexable instance for indexable_wrap
// to reuse; false if it is not kept (the caller frees it). GIL held.
bool keep_indexable_for_reuse(PyTypeObject* type, PyObject* self) noexcept;

}  // namespace tarnwick

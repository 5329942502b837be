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

#include "index/core/structures/sync.hpp"
#include "index/core/structures/hybrid_hashmap.hpp"
#include "index/value.hpp"

namespace tarnwick {

class IndexAPI;

// An engine the object belongs to. Weak: objects never keep engines alive.
using IndexMeta = std::weak_ptr<IndexAPI>;
using IndexMetaVec = std::vector<IndexMeta>;
using IndexMetaList = MutexLocked<IndexMetaVec>;

// An object's attributes. Writers hold both the GIL and the mutex (attribute
// assignment, breaking GC cycles); engines read it under the mutex with the
// GIL released; Python-side readers hold the GIL and may skip the mutex. The
// garbage collector's traversal and the fast attribute read rely on this: do
// not write a map without the GIL.
using AttributeMapData = HybridHashmap<uint32_t, PyValue>;
using AttributeMap = MutexLocked<AttributeMapData>;

// index_metas is locked before attribute_map, both before any engine lock (the
// lock order: src/README.md).
struct IndexableRecord {
    std::shared_ptr<IndexMetaList> index_metas;
    std::shared_ptr<AttributeMap> attribute_map;
    uint32_t id;
    bool frees_id;

    IndexableRecord(std::shared_ptr<IndexMetaList> metas, std::shared_ptr<AttributeMap> map, uint32_t object_id,
                    bool frees) noexcept
        : index_metas(std::move(metas)), attribute_map(std::move(map)), id(object_id), frees_id(frees) {}
    IndexableRecord(const IndexableRecord&) = delete;
    IndexableRecord& operator=(const IndexableRecord&) = delete;
    ~IndexableRecord();

    // Empty engine list, empty map, a freshly allocated id that the record
    // frees. Safe without the GIL.
    static std::shared_ptr<IndexableRecord> make_default();

    // A second record over the same map and engine list and the same id,
    // which does not free the id.
    std::shared_ptr<IndexableRecord> share() const;
};

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
    alignas(std::shared_ptr<IndexableRecord>) unsigned char record_storage[sizeof(std::shared_ptr<IndexableRecord>)];
    // The record's attribute map, kept here so that an attribute read goes
    // from the object straight to the map. Null once the record is dropped.
    AttributeMap* attributes;
};

// Whether obj is an Indexable or an instance of a subclass.
bool is_indexable(PyObject* obj) noexcept;

// The native record of an Indexable instance (is_indexable must hold). The
// reference is valid while the Python object lives; it is empty once the
// instance is being deallocated.
std::shared_ptr<IndexableRecord>& indexable_record(PyObject* obj) noexcept;

// A new instance of cls (Indexable or a subclass) holding record. Null with
// an error set on failure, in which case the record is released.
PyObject* indexable_wrap(PyTypeObject* cls, std::shared_ptr<IndexableRecord> record);

// Keeps the memory of a released exact Indexable instance for indexable_wrap
// to reuse; false if it is not kept (the caller frees it). GIL held.
bool keep_indexable_for_reuse(PyTypeObject* type, PyObject* self) noexcept;

}  // namespace tarnwick

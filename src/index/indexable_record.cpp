#include "index/indexable_record.hpp"

#include <algorithm>
#include <cstddef>
#include <functional>
#include <new>
#include <utility>
#include <vector>

#include "index/core/structures/id_alloc.hpp"
#include "index/types.hpp"

#if !defined(TARNWICK_NO_FREELIST) && !defined(Py_GIL_DISABLED) && !defined(Py_TRACE_REFS)
#define TARNWICK_INDEXABLE_FREELIST 1
#endif

namespace tarnwick {

// ---- native record ----------------------------------------------------------

IndexableRecord::~IndexableRecord() {
    if (frees_id) free_id(id);
}

std::shared_ptr<IndexableRecord> IndexableRecord::make_default() {
    auto metas = std::make_shared<IndexMetaList>();
    auto map = std::make_shared<AttributeMap>();
    return std::make_shared<IndexableRecord>(std::move(metas), std::move(map), allocate_id(), true);
}

std::shared_ptr<IndexableRecord> IndexableRecord::share() const {
    return std::make_shared<IndexableRecord>(index_metas, attribute_map, id, false);
}

// ---- engine list ------------------------------------------------------------

void trim_indexes(IndexMetaVec& list, const IndexAPI* target) {
    size_t kept = 0;
    for (size_t i = 0; i < list.size(); ++i) {
        std::shared_ptr<IndexAPI> engine = list[i].lock();
        if (!engine || engine.get() == target) continue;
        if (kept != i) std::swap(list[kept], list[i]);
        ++kept;
    }
    list.erase(list.begin() + static_cast<std::ptrdiff_t>(kept), list.end());
}

void sort_index_metas(IndexMetaVec& list, const IndexAPI* dead_key) {
    std::vector<std::pair<const IndexAPI*, IndexMeta>> keyed;
    keyed.reserve(list.size());
    for (IndexMeta& meta : list) {
        std::shared_ptr<IndexAPI> engine = meta.lock();
        keyed.emplace_back(engine ? engine.get() : dead_key, std::move(meta));
    }
    std::stable_sort(keyed.begin(), keyed.end(),
                     [](const auto& a, const auto& b) { return std::less<const IndexAPI*>()(a.first, b.first); });
    for (size_t i = 0; i < keyed.size(); ++i) list[i] = std::move(keyed[i].second);
}

void register_index_meta(const IndexableRecord& record, IndexMeta engine, const IndexAPI* default_index) {
    MutexGuard guard(record.index_metas->lock());
    IndexMetaVec& list = record.index_metas->get();
    list.push_back(std::move(engine));
    trim_indexes(list, default_index);
    sort_index_metas(list, default_index);
}

// ---- instances ----------------------------------------------------------------

namespace {

using RecordPtr = std::shared_ptr<IndexableRecord>;

// Released exact Indexable instances kept for reuse; guarded by the GIL.
#ifdef TARNWICK_INDEXABLE_FREELIST
constexpr size_t FREE_LIST_CAPACITY = 512;
PyObject* free_list[FREE_LIST_CAPACITY];
size_t free_list_size = 0;
#endif

void fill(PyObject* self, RecordPtr record) noexcept {
    auto* object = reinterpret_cast<IndexableObject*>(self);
    object->weakreflist = nullptr;
    object->attributes = record ? record->attribute_map.get() : nullptr;
    new (object->record_storage) RecordPtr(std::move(record));
}

}  // namespace

bool is_indexable(PyObject* obj) noexcept {
    PyTypeObject* t = INDEXABLE_TYPE_IF_MADE();
    return t && PyObject_TypeCheck(obj, t);
}

std::shared_ptr<IndexableRecord>& indexable_record(PyObject* obj) noexcept {
    return *std::launder(reinterpret_cast<RecordPtr*>(reinterpret_cast<IndexableObject*>(obj)->record_storage));
}

PyObject* indexable_wrap(PyTypeObject* cls, std::shared_ptr<IndexableRecord> record) {
#ifdef TARNWICK_INDEXABLE_FREELIST
    if (cls == INDEXABLE_TYPE_IF_MADE() && free_list_size > 0) {
        PyObject* self = free_list[--free_list_size];
        PyObject_Init(self, cls);  // fresh reference count, and a reference to the class
        fill(self, std::move(record));
        PyObject_GC_Track(self);
        return self;
    }
#endif
    PyObject* self = cls->tp_alloc(cls, 0);
    if (!self) return nullptr;  // the record is released with the argument
    fill(self, std::move(record));
    return self;
}

bool keep_indexable_for_reuse(PyTypeObject* type, PyObject* self) noexcept {
#ifdef TARNWICK_INDEXABLE_FREELIST
    if (type == INDEXABLE_TYPE_IF_MADE() && free_list_size < FREE_LIST_CAPACITY) {
        free_list[free_list_size++] = self;
        return true;
    }
#endif
    return false;
}

}  // namespace tarnwick

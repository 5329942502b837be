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

IndexableRecord::~IndexableRecord() { free_id(id, id_stream); }

void count_up(const IndexableRecord* record) noexcept { record->holders_.up(); }

void count_down(const IndexableRecord* record) noexcept {
    if (record->holders_.down()) delete record;
}

RecordPtr IndexableRecord::make(AttributeMapData map, const void* kind) {
    return RecordPtr::adopt(new IndexableRecord(std::move(map), allocate_object_id(kind)));
}

RecordPtr IndexableRecord::make_default(const void* kind) { return make(AttributeMapData(), kind); }

// ---- engine list ------------------------------------------------------------

void IndexMetaVec::reserve(size_t n) {
    if (n <= cap_) return;
    auto* fresh = static_cast<IndexMeta*>(::operator new(n * sizeof(IndexMeta)));
    IndexMeta* from = data();
    for (uint32_t i = 0; i < size_; ++i) {
        new (fresh + i) IndexMeta(std::move(from[i]));
        from[i].~IndexMeta();
    }
    if (inline_form()) {
        // one_ is already destroyed (or was never built); heap_ takes the union.
        new (&heap_) IndexMeta*(fresh);
    } else {
        ::operator delete(heap_);
        heap_ = fresh;
    }
    cap_ = static_cast<uint32_t>(n);
}

void IndexMetaVec::push_back(IndexMeta meta) {
    if (size_ == cap_) reserve(size_t(cap_) * 2);
    new (data() + size_) IndexMeta(std::move(meta));
    ++size_;
}

void IndexMetaVec::erase(IndexMeta* first, IndexMeta* last) noexcept {
    // Only a tail is ever dropped: trim_indexes and erase_if move the kept
    // entries to the front first.
    for (IndexMeta* it = first; it != last; ++it) it->~IndexMeta();
    size_ -= static_cast<uint32_t>(last - first);
}

void IndexMetaVec::clear_storage() noexcept {
    IndexMeta* items = data();
    for (uint32_t i = 0; i < size_; ++i) items[i].~IndexMeta();
    if (!inline_form()) ::operator delete(heap_);
    size_ = 0;
    cap_ = 1;
}

void IndexMetaVec::take(IndexMetaVec& o) noexcept {
    // This list is empty and in place.
    if (o.inline_form()) {
        if (o.size_ == 1) {
            new (&one_) IndexMeta(std::move(o.one_));
            o.one_.~IndexMeta();
        }
        size_ = std::exchange(o.size_, 0);
        return;
    }
    new (&heap_) IndexMeta*(o.heap_);
    size_ = std::exchange(o.size_, 0);
    cap_ = std::exchange(o.cap_, 1);
}

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
    MutexGuard guard(record.index_metas().lock());
    IndexMetaVec& list = record.index_metas().get();
    list.push_back(std::move(engine));
    trim_indexes(list, default_index);
    sort_index_metas(list, default_index);
}

// ---- instances ----------------------------------------------------------------

namespace {

// Released exact Indexable instances kept for reuse; guarded by the GIL.
#ifdef TARNWICK_INDEXABLE_FREELIST
constexpr size_t FREE_LIST_CAPACITY = 512;
PyObject* free_list[FREE_LIST_CAPACITY];
size_t free_list_size = 0;
#endif

void fill(PyObject* self, RecordPtr record) noexcept {
    auto* object = reinterpret_cast<IndexableObject*>(self);
    object->weakreflist = nullptr;
    object->dict = nullptr;
    object->attribute_cache = record ? record->attribute_map().get().raw() : nullptr;
    new (object->record_storage) RecordPtr(std::move(record));
}

}  // namespace

bool is_indexable(PyObject* obj) noexcept {
    PyTypeObject* t = INDEXABLE_TYPE_IF_MADE();
    return t && PyObject_TypeCheck(obj, t);
}

void refresh_attribute_cache(PyObject* self) noexcept {
    auto* object = reinterpret_cast<IndexableObject*>(self);
    const RecordPtr& record = indexable_record(self);
    object->attribute_cache = record ? record->attribute_map().get().raw() : nullptr;
}

RecordPtr& indexable_record(PyObject* obj) noexcept {
    return *std::launder(reinterpret_cast<RecordPtr*>(reinterpret_cast<IndexableObject*>(obj)->record_storage));
}

PyObject* indexable_wrap(PyTypeObject* cls, RecordPtr record) {
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

#include "index/interfaces/index_merge.hpp"

#include <memory>
#include <utility>
#include <vector>

#include "index/core/index.hpp"
#include "index/core/stored_item.hpp"
#include "index/interfaces/boundary.hpp"
#include "index/interfaces/index.hpp"
#include "index/interfaces/watch.hpp"

namespace tarnwick {
namespace {

// The items the receiving table takes for the other's members: the same
// objects and records, each with a new reference of its own, so that what one
// index holds and reports to the garbage collector never depends on the other.
// GIL held.
std::vector<StoredItem> fresh_items_of(const IndexAPI& other) {
    std::vector<StoredItem> out = other.member_items();
    for (StoredItem& item : out) item.python_handle = PyHandle::borrow(item.python_handle.get());
    return out;
}

}  // namespace

PyObject* index_union_with(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"other", nullptr};
    PyObject* other = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:union_with", const_cast<char**>(keywords), &other)) {
        return nullptr;
    }
    if (!is_index(other)) {
        PyErr_Format(PyExc_TypeError, "union_with() argument 'other' must be Index, not %.200s",
                     Py_TYPE(other)->tp_name);
        return nullptr;
    }
    std::shared_ptr<IndexAPI> engine = index_engine(self);
    if (!engine) return nullptr;
    std::shared_ptr<IndexAPI> other_engine = index_engine(other);
    if (!other_engine) return nullptr;
    if (engine == other_engine) Py_RETURN_NONE;

    return guarded([&]() -> PyObject* {
        std::vector<StoredItem> incoming = fresh_items_of(*other_engine);
        std::vector<std::pair<uint32_t, PyHandle>> references;
        references.reserve(incoming.size());
        for (const StoredItem& item : incoming) references.emplace_back(item.record->id, item.python_handle);
        std::vector<uint32_t> placed;
        if (!run_without_gil([&] { placed = engine->union_with(*other_engine, std::move(incoming)); })) return nullptr;
        // `placed` and `references` both ascend by id.
        std::vector<std::pair<uint32_t, PyHandle>> held;
        held.reserve(placed.size());
        auto ref = references.begin();
        for (uint32_t id : placed) {
            while (ref != references.end() && ref->first < id) ++ref;
            if (ref != references.end() && ref->first == id) held.push_back(*ref);
        }
        index_hold_references(self, held);
        if (!notice_members(*engine, held) || deliver_watch_notices() < 0) return nullptr;
        Py_RETURN_NONE;
    });
}

}  // namespace tarnwick

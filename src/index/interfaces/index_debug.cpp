#include "index/interfaces/index_debug.hpp"

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "index/core/index.hpp"
#include "index/core/query/query.hpp"
#include "index/core/structures/string_interner.hpp"
#include "index/indexable.hpp"
#include "index/interfaces/index.hpp"
#include "index/value.hpp"

namespace tarnwick {
namespace {

// The maps along a dotted path, each with its engine, read-locked from the
// outermost inwards for as long as the chain lives.
class MapChain {
public:
    struct Level {
        std::shared_ptr<IndexAPI> engine;
        QueryMap* map;
    };

    MapChain(std::shared_ptr<IndexAPI> top, const std::vector<std::string>& names) {
        std::shared_ptr<IndexAPI> engine = std::move(top);
        InternerSnapshot interned = INTERNER().snapshot();
        for (const std::string& name : names) {
            std::optional<uint32_t> attribute = interned->get(name);
            if (!attribute) return;
            guards_.emplace_back(engine->query_maps->lock());
            QueryMap* map = IndexAPI::map_at(engine->query_maps->get(), *attribute);
            if (!map) return;
            levels_.push_back(Level{engine, map});
            engine = map->nested;
        }
        complete_ = true;
    }

    bool complete() const noexcept { return complete_; }
    const std::vector<Level>& levels() const noexcept { return levels_; }
    const Level& last() const noexcept { return levels_.back(); }

private:
    std::vector<ReadGuard> guards_;
    std::vector<Level> levels_;
    bool complete_ = false;
};

std::optional<std::vector<std::string>> split_path(PyObject* path) {
    Py_ssize_t n = 0;
    const char* text = PyUnicode_Check(path) ? PyUnicode_AsUTF8AndSize(path, &n) : nullptr;
    if (!text) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "path must be a str");
        return std::nullopt;
    }
    std::vector<std::string> parts;
    std::string_view rest(text, static_cast<size_t>(n));
    for (;;) {
        size_t dot = rest.find('.');
        parts.emplace_back(rest.substr(0, dot));
        if (dot == std::string_view::npos) break;
        rest.remove_prefix(dot + 1);
    }
    return parts;
}

Bitmap equal_in_map(const QueryMap& map, const PyValue& value) {
    Bitmap out;
    const CastValue& p = value.primitave;
    if (auto key = order_key_of(p)) {
        ReadGuard g(map.numbers.lock());
        out = map.numbers.get().eq(*key);
    } else if (p.is_str()) {
        ReadGuard g(map.strings.lock());
        out = map.strings.get().match_eq(p.as_str().view());
    } else if (p.is_bool()) {
        ReadGuard g(map.bools.lock());
        out = map.bools.get().of(p.as_bool()).bitmap().clone();
    } else if (auto set = map.exact_values.get(ExactKey(value))) {
        out = set->to_bitmap();
    }
    map.unmask_ids(out);
    return out;
}

PyObject* id_list(const Bitmap& ids) {
    PyObject* list = PyList_New(0);
    if (!list) return nullptr;
    for (uint32_t id : ids.to_vector()) {
        PyObject* n = PyLong_FromUnsignedLong(id);
        if (!n || PyList_Append(list, n) < 0) {
            Py_XDECREF(n);
            Py_DECREF(list);
            return nullptr;
        }
        Py_DECREF(n);
    }
    return list;
}

template <class F>
bool released(F&& work) {
    bool failed = false;
    without_gil([&] {
        try {
            work();
        } catch (const std::exception&) {
            failed = true;
        }
    });
    if (failed) PyErr_NoMemory();
    return !failed;
}

}  // namespace

PyObject* index_debug_eq(PyObject* self, PyObject* args) {
    PyObject *path = nullptr, *value = nullptr;
    if (!PyArg_ParseTuple(args, "OO:_debug_eq", &path, &value)) return nullptr;
    auto names = split_path(path);
    if (!names) return nullptr;
    std::shared_ptr<IndexAPI> engine = index_engine(self);
    if (!engine) return nullptr;
    PyValue converted = PyValue::from_py(value);
    Bitmap result;
    if (!released([&] {
            MapChain chain(engine, *names);
            if (!chain.complete()) return;
            const auto& levels = chain.levels();
            result = equal_in_map(*chain.last().map, converted);
            // Back up the chain: members of each engine, then their holders
            // one level up, as a nested query does.
            for (size_t i = levels.size(); i-- > 0;) {
                result &= levels[i].engine->members();
                if (i == 0) break;
                result = levels[i].engine->get_parent_from_ids(result);
                levels[i - 1].map->unmask_ids(result);
            }
        })) {
        return nullptr;
    }
    return id_list(result);
}

PyObject* index_debug_members(PyObject* self, PyObject*) {
    std::shared_ptr<IndexAPI> engine = index_engine(self);
    if (!engine) return nullptr;
    Bitmap members;
    if (!released([&] { members = engine->members(); })) return nullptr;
    return id_list(members);
}

PyObject* index_debug_nested_members(PyObject* self, PyObject* path) {
    auto names = split_path(path);
    if (!names) return nullptr;
    std::shared_ptr<IndexAPI> engine = index_engine(self);
    if (!engine) return nullptr;
    Bitmap members;
    if (!released([&] {
            MapChain chain(engine, *names);
            if (chain.complete()) members = chain.last().map->nested->members();
        })) {
        return nullptr;
    }
    return id_list(members);
}

PyObject* index_debug_holders(PyObject* self, PyObject* args) {
    PyObject *path = nullptr, *child = nullptr;
    if (!PyArg_ParseTuple(args, "OO:_debug_holders", &path, &child)) return nullptr;
    if (!is_indexable(child)) {
        PyErr_SetString(PyExc_TypeError, "child must be an Indexable");
        return nullptr;
    }
    auto names = split_path(path);
    if (!names) return nullptr;
    std::shared_ptr<IndexAPI> engine = index_engine(self);
    if (!engine) return nullptr;
    const uint32_t child_id = indexable_record(child)->id;
    Bitmap holders;
    if (!released([&] {
            MapChain chain(engine, *names);
            if (chain.complete()) holders = chain.last().map->nested->get_parent_from_ids(Bitmap{child_id});
        })) {
        return nullptr;
    }
    return id_list(holders);
}

PyObject* index_debug_map_stats(PyObject* self, PyObject* path) {
    auto names = split_path(path);
    if (!names) return nullptr;
    std::shared_ptr<IndexAPI> engine = index_engine(self);
    if (!engine) return nullptr;
    bool found = false;
    unsigned long long elements = 0, owned = 0, owners = 0, exact = 0, nested = 0, links = 0;
    if (!released([&] {
            MapChain chain(engine, *names);
            if (!chain.complete()) return;
            found = true;
            const QueryMap& map = *chain.last().map;
            {
                ReadGuard g(map.element_owners.lock());
                owned = map.element_owners.get().size();
                owners = map.element_owners.get().owner_count();
            }
            {
                ReadGuard g(map.element_ids.lock());
                elements = map.element_ids.get().cardinality();
            }
            exact = map.exact_values.size();
            nested = map.nested->members().cardinality();
            ReadGuard g(map.nested->parent_links->lock());
            links = map.nested->parent_links->get().pair_count();
        })) {
        return nullptr;
    }
    if (!found) Py_RETURN_NONE;
    return Py_BuildValue("{s:K,s:K,s:K,s:K,s:K,s:K}", "elements", elements, "element_owners", owned, "owners", owners,
                         "exact_values", exact, "nested_members", nested, "links", links);
}

}  // namespace tarnwick

#include "index/core/query/query_ops.hpp"

#include <string_view>
#include <unordered_map>

#include "index/debug_text.hpp"

namespace tarnwick {

// ---- QueryBox ---------------------------------------------------------------

QueryBox::QueryBox(QueryExpr expr) : expr_(std::make_unique<QueryExpr>(std::move(expr))) {}

QueryBox::QueryBox(const QueryBox& o) : expr_(o.expr_ ? std::make_unique<QueryExpr>(*o.expr_) : nullptr) {}

QueryBox& QueryBox::operator=(const QueryBox& o) {
    if (this != &o) {
        // Copy first: o may be a part of the tree this box owns.
        std::unique_ptr<QueryExpr> copy = o.expr_ ? std::make_unique<QueryExpr>(*o.expr_) : nullptr;
        expr_ = std::move(copy);
    }
    return *this;
}

QueryBox::~QueryBox() = default;

// ---- QueryExpr --------------------------------------------------------------

const char* query_kind_name(QueryExpr::Kind kind) noexcept {
    static const char* const names[] = {"Eq", "Ne", "Not", "In", "And", "Or", "Gt",
                                        "Ge", "Lt", "Le", "Bt", "StartsWi", "EndsWi", "Contains"};
    return names[static_cast<size_t>(kind)];
}

uint32_t QueryExpr::conjunction_rank() const noexcept {
    switch (kind()) {
        case Kind::Eq: return 0;
        case Kind::Ne: return 1;
        case Kind::Not: return 2;
        case Kind::In: return 3;
        case Kind::StartsWi: return 4;
        case Kind::EndsWi: return 5;
        case Kind::Contains: return 6;
        case Kind::And: return 7;
        case Kind::Or: return 8;
        case Kind::Lt: return 9;
        case Kind::Le: return 10;
        case Kind::Gt: return 11;
        case Kind::Ge: return 12;
        case Kind::Bt: return 13;
    }
    return 13;
}

namespace {

DebugNode path_node(const AttrPath& path) { return DebugNode::leaf(debug_quote(path.view())); }

DebugNode value_node(const PyValue& value) { return DebugNode::leaf(value.debug()); }

DebugNode expr_node(const QueryExpr& expr) {
    const char* name = query_kind_name(expr.kind());
    return std::visit(
        [name](const auto& n) -> DebugNode {
            using N = std::decay_t<decltype(n)>;
            if constexpr (std::is_same_v<N, QueryExpr::Bt>) {
                return DebugNode::tuple(name, {path_node(n.attr), value_node(n.lower), value_node(n.upper)});
            } else if constexpr (std::is_same_v<N, QueryExpr::In>) {
                std::vector<DebugNode> values;
                values.reserve(n.values.size());
                for (const auto& v : n.values) values.push_back(value_node(v));
                return DebugNode::tuple(name, {path_node(n.attr), DebugNode::list(std::move(values))});
            } else if constexpr (std::is_same_v<N, QueryExpr::Not>) {
                return DebugNode::tuple(name, {expr_node(*n.exprs)});
            } else if constexpr (std::is_same_v<N, QueryExpr::And> || std::is_same_v<N, QueryExpr::Or>) {
                std::vector<DebugNode> members;
                members.reserve(n.exprs.size());
                for (const auto& e : n.exprs) members.push_back(expr_node(e));
                return DebugNode::tuple(name, {DebugNode::list(std::move(members))});
            } else {
                return DebugNode::tuple(name, {path_node(n.attr), value_node(n.value)});
            }
        },
        expr.node);
}

}  // namespace

std::string QueryExpr::debug() const { return expr_node(*this).render(); }

// ---- keyword conditions -----------------------------------------------------

std::optional<AttrPath> path_from_py(PyObject* str) {
    Py_ssize_t n = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(str, &n)) {
        return AttrPath(std::string_view(utf8, static_cast<size_t>(n)));
    }
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return std::nullopt;
    PyErr_Clear();
    PyObject* bytes = PyUnicode_AsEncodedString(str, "utf-8", "surrogatepass");
    if (!bytes) return std::nullopt;
    AttrPath path(std::string_view(PyBytes_AS_STRING(bytes), static_cast<size_t>(PyBytes_GET_SIZE(bytes))));
    Py_DECREF(bytes);
    return path;
}

std::optional<KeywordQuery> kwargs_to_query(PyObject* kwargs) {
    KeywordQuery query;
    if (!kwargs) return query;
    if (!PyDict_Check(kwargs)) {
        PyErr_Format(PyExc_TypeError, "keyword arguments must be a dict, not %.200s", Py_TYPE(kwargs)->tp_name);
        return std::nullopt;
    }
    // Converting a value can run Python code (__hash__, __index__), which
    // could change the dict under an iteration: work on a snapshot, held by
    // a handle since a conversion may end in PythonError.
    const PyHandle snapshot = PyHandle::steal(PyDict_Items(kwargs));
    if (!snapshot) return std::nullopt;
    PyObject* items = snapshot.get();
    const Py_ssize_t count = PyList_GET_SIZE(items);
    query.reserve(static_cast<size_t>(count));
    // Two str subclass keys can differ as dict keys yet spell the same name;
    // the later one then replaces the earlier value, as in a map. The views
    // stay valid because the vector never grows past its reservation.
    std::unordered_map<std::string_view, size_t> position;
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* pair = PyList_GET_ITEM(items, i);
        PyObject* name = PyTuple_GET_ITEM(pair, 0);
        if (!PyUnicode_Check(name)) {
            PyErr_Format(PyExc_TypeError, "keywords must be strings, not %.200s", Py_TYPE(name)->tp_name);
            return std::nullopt;
        }
        std::optional<AttrPath> path = path_from_py(name);
        if (!path) return std::nullopt;
        PyValue value = PyValue::from_py(PyTuple_GET_ITEM(pair, 1));
        auto found = position.find(path->view());
        if (found != position.end()) {
            query[found->second].second = std::move(value);
            continue;
        }
        query.emplace_back(std::move(*path), std::move(value));
        position.emplace(query.back().first.view(), query.size() - 1);
    }
    return query;
}

}  // namespace tarnwick

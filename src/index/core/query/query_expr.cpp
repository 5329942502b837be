#include "index/core/query/query_expr.hpp"

#include <algorithm>
#include <string_view>
#include <unordered_map>

#include "index/core/stack_room.hpp"
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

QueryExpr::QueryExpr(const QueryExpr& o) : node((check_stack_room(), o.node)) {}

QueryExpr& QueryExpr::operator=(const QueryExpr& o) {
    if (this != &o) {
        // Copy first: o may be a part of this tree.
        QueryExpr copy(o);
        node = std::move(copy.node);
    }
    return *this;
}

namespace {

// Room for n more, growing geometrically: the worklist of a chain nested on
// its last operand keeps every other operand, and growing it by exactly what
// each level adds would move all of them again at every level.
void make_room(std::vector<QueryExpr>& into, size_t n) {
    if (into.capacity() - into.size() < n) into.reserve(std::max(into.size() + n, 2 * into.capacity()));
}

// Moves the children of expr to the end of `into`; false if that failed for
// want of memory (expr keeps what was not moved).
bool take_children(QueryExpr& expr, std::vector<QueryExpr>& into) noexcept {
    try {
        if (auto* n = std::get_if<QueryExpr::Not>(&expr.node)) {
            // The box keeps the moved-from operand, which has no children.
            if (n->exprs.operator->()) into.push_back(std::move(*n->exprs));
        } else if (auto* a = std::get_if<QueryExpr::And>(&expr.node)) {
            make_room(into, a->exprs.size());
            for (QueryExpr& e : a->exprs) into.push_back(std::move(e));
            a->exprs.clear();
        } else if (auto* o = std::get_if<QueryExpr::Or>(&expr.node)) {
            make_room(into, o->exprs.size());
            for (QueryExpr& e : o->exprs) into.push_back(std::move(e));
            o->exprs.clear();
        }
        return true;
    } catch (...) {
        return false;
    }
}

bool has_children(const QueryExpr& expr) noexcept {
    if (auto* a = std::get_if<QueryExpr::And>(&expr.node)) return !a->exprs.empty();
    if (auto* o = std::get_if<QueryExpr::Or>(&expr.node)) return !o->exprs.empty();
    // A Not whose operand was moved away has an empty box.
    if (auto* n = std::get_if<QueryExpr::Not>(&expr.node)) return n->exprs.operator->() != nullptr;
    return false;
}

}  // namespace

// A subtree is taken apart level by level in a worklist, so that destroying
// a deep tree does not recurse; if the worklist cannot grow, what is left is
// destroyed by plain recursion instead.
QueryExpr::~QueryExpr() {
    if (!has_children(*this)) return;
    std::vector<QueryExpr> work;
    if (!take_children(*this, work)) return;
    while (!work.empty()) {
        QueryExpr next = std::move(work.back());
        work.pop_back();
        if (has_children(next) && !take_children(next, work)) return;
    }
}

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

// Text of a leaf test, or the opening of a combination, appended to out.
// Returns the members of an And or Or, the operand of a Not (as a span of
// one), or nothing for a leaf.
std::span<const QueryExpr> open_node(const QueryExpr& expr, std::string& out) {
    out += query_kind_name(expr.kind());
    out += '(';
    return std::visit(
        [&out](const auto& n) -> std::span<const QueryExpr> {
            using N = std::decay_t<decltype(n)>;
            if constexpr (std::is_same_v<N, QueryExpr::Not>) {
                return std::span<const QueryExpr>(&*n.exprs, 1);
            } else if constexpr (std::is_same_v<N, QueryExpr::And> || std::is_same_v<N, QueryExpr::Or>) {
                out += '[';
                return std::span<const QueryExpr>(n.exprs);
            } else {
                out += debug_quote(n.attr.view());
                out += ", ";
                if constexpr (std::is_same_v<N, QueryExpr::Bt>) {
                    out += n.lower.debug() + ", " + n.upper.debug();
                } else if constexpr (std::is_same_v<N, QueryExpr::In>) {
                    out += '[';
                    for (size_t i = 0; i < n.values.size(); ++i) out += (i ? ", " : "") + n.values[i].debug();
                    out += ']';
                } else {
                    out += n.value.debug();
                }
                out += ')';
                return {};
            }
        },
        expr.node);
}

}  // namespace

// Without recursion: a thread with a small stack may print the deepest tree
// the factories build.
std::string QueryExpr::debug() const {
    struct Open {
        std::span<const QueryExpr> members;
        size_t next;
        bool list;  // And, Or: members in brackets
    };
    std::string out;
    std::vector<Open> open;
    auto enter = [&](const QueryExpr& expr) {
        std::span<const QueryExpr> members = open_node(expr, out);
        const Kind kind = expr.kind();
        if (kind == Kind::Not || kind == Kind::And || kind == Kind::Or) open.push_back({members, 0, kind != Kind::Not});
    };
    enter(*this);
    while (!open.empty()) {
        Open& top = open.back();
        if (top.next < top.members.size()) {
            if (top.next > 0) out += ", ";
            enter(top.members[top.next++]);
            continue;
        }
        out += top.list ? "])" : ")";
        open.pop_back();
    }
    return out;
}

// ---- keyword conditions -----------------------------------------------------

std::optional<AttrPath> path_from_py(PyObject* str) {
    Py_ssize_t n = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(str, &n)) {
        return AttrPath(std::string_view(utf8, static_cast<size_t>(n)));
    }
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return std::nullopt;
    PyErr_Clear();
    OwnedRef bytes = OwnedRef::steal(PyUnicode_AsEncodedString(str, "utf-8", "surrogatepass"));
    if (!bytes) return std::nullopt;
    return AttrPath(
        std::string_view(PyBytes_AS_STRING(bytes.get()), static_cast<size_t>(PyBytes_GET_SIZE(bytes.get()))));
}

std::vector<QueryExpr> equality_tests(const KeywordQuery& conditions) {
    std::vector<QueryExpr> tests;
    tests.reserve(conditions.size());
    for (const auto& [path, value] : conditions) tests.emplace_back(QueryExpr::Eq{path, value});
    return tests;
}

std::optional<KeywordQuery> kwargs_to_query(PyObject* kwargs) {
    KeywordQuery query;
    if (!kwargs) return query;
    if (!PyDict_Check(kwargs)) {
        PyErr_Format(PyExc_TypeError, "keyword arguments must be a dict, not %.200s", Py_TYPE(kwargs)->tp_name);
        return std::nullopt;
    }
    // Converting a value can run Python code (__hash__, __index__), which
    // could change the dict under an iteration: work on a snapshot, owned so
    // that it goes even when a conversion ends in PythonError.
    OwnedRef items = OwnedRef::steal(PyDict_Items(kwargs));
    if (!items) return std::nullopt;
    const Py_ssize_t count = PyList_GET_SIZE(items.get());
    query.reserve(static_cast<size_t>(count));
    // Two str subclass keys can differ as dict keys yet spell the same name;
    // the later one then replaces the earlier value, as in a map. The views
    // stay valid because the vector never grows past its reservation.
    std::unordered_map<std::string_view, size_t> position;
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* pair = PyList_GET_ITEM(items.get(), i);
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

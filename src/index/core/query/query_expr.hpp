// The query language: trees of tests on attribute values joined by And, Or
// and Not, and the keyword form of an equality conjunction.
//
// A tree is a plain value. Every node owns its fields and copying is deep,
// but the Python references inside values are shared handles, so a tree can
// be copied and dropped on any thread without the GIL (see value.hpp).
//
// Evaluation against an engine's value indexes builds on it (query_eval.hpp).
#pragma once

#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "index/core/query/attr_path.hpp"
#include "index/core/structures/bitmap.hpp"
#include "index/value.hpp"

namespace tarnwick {

// A dotted attribute path ("address.city"), unchanged from the caller.
using AttrPath = ShortStr;

struct QueryExpr;

// The single owned operand of Not. Copies are deep; a moved-from box is
// empty and may only be assigned to or destroyed.
class QueryBox {
public:
    explicit QueryBox(QueryExpr expr);
    QueryBox(const QueryBox& o);
    QueryBox(QueryBox&& o) noexcept = default;
    QueryBox& operator=(const QueryBox& o);
    QueryBox& operator=(QueryBox&& o) noexcept = default;
    ~QueryBox();

    const QueryExpr& operator*() const noexcept { return *expr_; }
    const QueryExpr* operator->() const noexcept { return expr_.get(); }
    QueryExpr& operator*() noexcept { return *expr_; }
    QueryExpr* operator->() noexcept { return expr_.get(); }

private:
    std::unique_ptr<QueryExpr> expr_;
};

struct QueryExpr {
    // Leaf tests on one attribute path.
    struct Eq { AttrPath attr; PyValue value; };
    struct Ne { AttrPath attr; PyValue value; };
    struct Gt { AttrPath attr; PyValue value; };
    struct Ge { AttrPath attr; PyValue value; };
    struct Lt { AttrPath attr; PyValue value; };
    struct Le { AttrPath attr; PyValue value; };
    struct Bt { AttrPath attr; PyValue lower; PyValue upper; };  // both bounds inclusive
    struct StartsWi { AttrPath attr; PyValue value; };
    struct EndsWi { AttrPath attr; PyValue value; };
    struct Contains { AttrPath attr; PyValue value; };
    struct In { AttrPath attr; std::vector<PyValue> values; };
    // Combinations.
    struct Not { QueryBox exprs; };
    struct And { std::vector<QueryExpr> exprs; };
    struct Or { std::vector<QueryExpr> exprs; };

    // The alternatives' order is part of the design: Kind numbers follow it.
    using Node = std::variant<Eq, Ne, Not, In, And, Or, Gt, Ge, Lt, Le, Bt, StartsWi, EndsWi, Contains>;
    enum class Kind : uint8_t { Eq, Ne, Not, In, And, Or, Gt, Ge, Lt, Le, Bt, StartsWi, EndsWi, Contains };

    Node node;

    // From any of the alternatives: QueryExpr(QueryExpr::Eq{path, value}).
    template <class Alternative,
              class = std::enable_if_t<!std::is_same_v<std::decay_t<Alternative>, QueryExpr> &&
                                       std::is_constructible_v<Node, Alternative&&>>>
    QueryExpr(Alternative&& alternative) : node(std::forward<Alternative>(alternative)) {}

    // A copy recurses once per level, and throws StackExhausted where this
    // thread's stack could not take a level more.
    QueryExpr(const QueryExpr& o);
    QueryExpr(QueryExpr&& o) noexcept = default;
    QueryExpr& operator=(const QueryExpr& o);
    QueryExpr& operator=(QueryExpr&& o) noexcept = default;
    // Without recursion, as far as memory allows.
    ~QueryExpr();

    Kind kind() const noexcept { return static_cast<Kind>(node.index()); }

    // Members of a conjunction whose size stored cardinalities do not bound
    // are evaluated in ascending rank (stable), after those that it does,
    // so cheap, selective tests narrow the running intersection before the
    // range tests, which cost the most and take that intersection as their
    // universe.
    uint32_t conjunction_rank() const noexcept;

    // One line: `Eq("age", PyValue { ... })`, `And([...])`, `Not(...)`.
    std::string debug() const;

    // Calls f(value) for every value in the tree, depth first in field
    // order; stops at and returns the first non-zero result of f.
    template <class F>
    int for_each_value(F&& f) const;
    template <class F>
    int for_each_value(F&& f);
};

const char* query_kind_name(QueryExpr::Kind kind) noexcept;

// Keyword conditions, in the order they were given; paths are unique.
using KeywordQuery = std::vector<std::pair<AttrPath, PyValue>>;

// The keyword dictionary (null or empty for none) as path/value pairs. Every
// name is taken as a path unchanged; every object converts (PyValue never
// refuses one). Nothing, with the Python error set, when kwargs is not a dict
// or a name is not a str. Needs the GIL and no native lock held: converting
// values can run Python code.
std::optional<KeywordQuery> kwargs_to_query(PyObject* kwargs);

// The UTF-8 text of a str used as a path; lone surrogates are kept (as their
// three-byte forms), as for string values, so no str is refused. Needs the
// GIL; nothing with the Python error set only when memory runs out.
std::optional<AttrPath> path_from_py(PyObject* str);

// One equality test per keyword condition, in the order given.
std::vector<QueryExpr> equality_tests(const KeywordQuery& conditions);

// Calls f(test) with every test node of the trees (every node but And, Or
// and Not; f takes any of their types), in no particular order. Iterative: a
// tree may be deeper than the stack allows.
template <class F>
void for_each_test(std::span<const QueryExpr> roots, F&& f);

// Calls f(path) with the attribute path of every test in the trees.
template <class F>
void for_each_test_path(std::span<const QueryExpr> roots, F&& f) {
    for_each_test(roots, [&f](const auto& test) { f(test.attr.view()); });
}

// ---- template definitions ---------------------------------------------------

namespace query_detail {

// One level per recursion: the fallback of for_each_value_in.
template <class Expr, class F>
int for_each_value_recursive(Expr& expr, F& f) {
    return std::visit(
        [&f](auto& n) -> int {
            using N = std::decay_t<decltype(n)>;
            if constexpr (std::is_same_v<N, QueryExpr::Bt>) {
                if (int r = f(n.lower)) return r;
                return f(n.upper);
            } else if constexpr (std::is_same_v<N, QueryExpr::In>) {
                for (auto& v : n.values) {
                    if (int r = f(v)) return r;
                }
                return 0;
            } else if constexpr (std::is_same_v<N, QueryExpr::Not>) {
                return for_each_value_recursive(*n.exprs, f);
            } else if constexpr (std::is_same_v<N, QueryExpr::And> || std::is_same_v<N, QueryExpr::Or>) {
                for (auto& e : n.exprs) {
                    if (int r = for_each_value_recursive(e, f)) return r;
                }
                return 0;
            } else {
                return f(n.value);
            }
        },
        expr.node);
}

// Without recursion, so that the garbage collector can visit a deep tree from
// a thread with a small stack; it must not fail either, so a subtree that
// the worklist has no memory for is visited by recursion instead.
template <class Expr, class F>
int for_each_value_in(Expr& root, F& f) {
    const QueryExpr::Kind kind = root.kind();
    if (kind != QueryExpr::Kind::Not && kind != QueryExpr::Kind::And && kind != QueryExpr::Kind::Or) {
        return for_each_value_recursive(root, f);
    }
    std::vector<Expr*> todo;
    auto later = [&todo, &f](Expr& child) -> int {
        try {
            todo.push_back(&child);
            return 0;
        } catch (const std::bad_alloc&) {
            return for_each_value_recursive(child, f);
        }
    };
    if (int r = later(root)) return r;
    while (!todo.empty()) {
        Expr& expr = *todo.back();
        todo.pop_back();
        const int r = std::visit(
            [&](auto& n) -> int {
                using N = std::decay_t<decltype(n)>;
                if constexpr (std::is_same_v<N, QueryExpr::Not>) {
                    return later(*n.exprs);
                } else if constexpr (std::is_same_v<N, QueryExpr::And> || std::is_same_v<N, QueryExpr::Or>) {
                    // Reversed, so that members are visited in order.
                    for (auto it = n.exprs.rbegin(); it != n.exprs.rend(); ++it) {
                        if (int r = later(*it)) return r;
                    }
                    return 0;
                } else {
                    return for_each_value_recursive(expr, f);  // a leaf: no recursion
                }
            },
            expr.node);
        if (r) return r;
    }
    return 0;
}

}  // namespace query_detail

template <class F>
void for_each_test(std::span<const QueryExpr> roots, F&& f) {
    std::vector<const QueryExpr*> pending;
    for (const QueryExpr& q : roots) pending.push_back(&q);
    while (!pending.empty()) {
        const QueryExpr* q = pending.back();
        pending.pop_back();
        std::visit(
            [&](const auto& node) {
                using N = std::decay_t<decltype(node)>;
                if constexpr (std::is_same_v<N, QueryExpr::Not>) {
                    pending.push_back(&*node.exprs);
                } else if constexpr (std::is_same_v<N, QueryExpr::And> || std::is_same_v<N, QueryExpr::Or>) {
                    for (const QueryExpr& member : node.exprs) pending.push_back(&member);
                } else {
                    f(node);
                }
            },
            q->node);
    }
}

template <class F>
int QueryExpr::for_each_value(F&& f) const {
    return query_detail::for_each_value_in(*this, f);
}

template <class F>
int QueryExpr::for_each_value(F&& f) {
    return query_detail::for_each_value_in(*this, f);
}

}  // namespace tarnwick

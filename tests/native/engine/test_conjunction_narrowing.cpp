// A conjunction evaluated smallest first, each member within the running set
// (equality fetching stored ids, the others tested among the candidates),
// must give what each member evaluated alone over the whole universe gives,
// intersected, and what the values themselves say.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "engine_support.hpp"
#include "index/core/query/bulk_query_map_adder.hpp"
#include "index/core/query/query_eval.hpp"

namespace tarnwick::testing {
namespace {

class ConjunctionNarrowing : public EngineTest {};

// One attribute per kind and cardinality: few ints and strings keep their
// whole-value sets, many outgrow them, so both equality paths are taken.
struct Column {
    std::string name;
    std::vector<PyValue> values;  // the value of object i, one per object
};

struct Data {
    std::shared_ptr<IndexAPI> engine = IndexAPI::create();
    QueryMapTable table;
    std::vector<Column> columns;
    std::vector<uint32_t> ids;
    Bitmap universe;
};

PyValue draw(const std::string& column, std::mt19937& rng) {
    if (column == "few_int") return int_value(std::uniform_int_distribution<int>(0, 9)(rng));
    if (column == "many_int") return int_value(std::uniform_int_distribution<int>(0, 3999)(rng));
    if (column == "float") return float_value(std::uniform_int_distribution<int>(0, 7)(rng) * 0.5);
    if (column == "few_str") return str_value(std::string(1, char('a' + std::uniform_int_distribution<int>(0, 4)(rng))));
    if (column == "many_str") {
        std::string s;
        const int n = std::uniform_int_distribution<int>(1, 4)(rng);
        for (int i = 0; i < n; ++i) s += char('a' + std::uniform_int_distribution<int>(0, 7)(rng));
        return str_value(s);
    }
    return bool_value(std::uniform_int_distribution<int>(0, 9)(rng) == 0);
}

// Half the objects go in through a bulk writer (buffered), the rest one by
// one; a tenth then change value, so the whole-value sets also see removals.
Data make_data(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    Data d;
    for (size_t i = 0; i < n; ++i) d.ids.push_back(uint32_t(1000 + 3 * i));
    for (const char* name : {"few_int", "many_int", "float", "few_str", "many_str", "flag"}) {
        Column c{name, {}};
        for (size_t i = 0; i < n; ++i) c.values.push_back(draw(name, rng));
        const uint32_t attribute = attribute_id(name);
        if (d.table.size() <= attribute) d.table.resize(attribute + 1);
        d.table[attribute] = std::make_unique<QueryMap>(d.engine);
        QueryMap& map = *d.table[attribute];
        {
            BulkQueryMapAdder writer(map);
            for (size_t i = 0; i < n / 2; ++i) writer.insert_value(c.values[i], {}, d.ids[i]);
            writer.close();
        }
        for (size_t i = n / 2; i < n; ++i) map.insert_value(c.values[i], {}, d.ids[i]);
        for (size_t i = 0; i < n; i += 10) {
            PyValue next = draw(name, rng);
            map.replace_value(&c.values[i], &next, {}, d.ids[i]);
            c.values[i] = next;
        }
        d.columns.push_back(std::move(c));
    }
    // Some objects are no members: results must leave them out.
    for (size_t i = 0; i < n; ++i)
        if (i % 7 != 3) d.universe.add(d.ids[i]);
    return d;
}

struct Leaf {
    QueryExpr query;
    size_t column;
    enum { Equal, Below, Prefix, NotEqual } test;
    PyValue value;
};

Leaf random_leaf(const Data& d, std::mt19937& rng) {
    const size_t column = std::uniform_int_distribution<size_t>(0, d.columns.size() - 1)(rng);
    const Column& c = d.columns[column];
    // A value some object holds, mostly, so that results are not all empty.
    PyValue value = c.values[std::uniform_int_distribution<size_t>(0, c.values.size() - 1)(rng)];
    const AttrPath attr(c.name);
    const int pick = std::uniform_int_distribution<int>(0, 9)(rng);
    if (pick == 0) return {QueryExpr(QueryExpr::Ne{attr, value}), column, Leaf::NotEqual, value};
    if (pick == 1 && value.primitive.is_str()) {
        PyValue prefix = str_value(std::string(value.primitive.as_str().view().substr(0, 1)));
        return {QueryExpr(QueryExpr::StartsWi{attr, prefix}), column, Leaf::Prefix, prefix};
    }
    if (pick == 2 && !value.primitive.is_str() && !value.primitive.is_bool())
        return {QueryExpr(QueryExpr::Lt{attr, value}), column, Leaf::Below, value};
    return {QueryExpr(QueryExpr::Eq{attr, value}), column, Leaf::Equal, value};
}

bool holds(const Leaf& leaf, const PyValue& v) {
    const CastValue& a = v.primitive;
    const CastValue& b = leaf.value.primitive;
    switch (leaf.test) {
        case Leaf::Equal: return v == leaf.value;
        case Leaf::NotEqual: return !(v == leaf.value);
        case Leaf::Prefix: return a.as_str().view().starts_with(b.as_str().view());
        case Leaf::Below:
            return (a.is_int() ? double(a.as_int()) : a.as_float()) < (b.is_int() ? double(b.as_int()) : b.as_float());
    }
    return false;
}

TEST_F(ConjunctionNarrowing, EqualsMembersEvaluatedAloneAndTheValues) {
    for (unsigned seed : {1u, 2u, 3u}) {
        const Data d = make_data(6000, seed);
        std::mt19937 rng(seed * 7919);
        for (int round = 0; round < 150; ++round) {
            std::vector<Leaf> leaves;
            const int n = std::uniform_int_distribution<int>(1, 4)(rng);
            for (int i = 0; i < n; ++i) leaves.push_back(random_leaf(d, rng));
            std::vector<QueryExpr> members;
            for (const Leaf& l : leaves) members.push_back(l.query);

            const Bitmap narrowed = evaluate_and_queries_vec(d.table, d.universe, members);

            Bitmap alone = d.universe.clone();
            for (const QueryExpr& m : members) alone &= evaluate_query(d.table, d.universe, m);
            Bitmap expected;
            for (size_t i = 0; i < d.ids.size(); ++i) {
                if (!d.universe.contains(d.ids[i])) continue;
                bool all = true;
                for (const Leaf& l : leaves) all = all && holds(l, d.columns[l.column].values[i]);
                if (all) expected.add(d.ids[i]);
            }
            std::string text;
            for (const QueryExpr& m : members) text += m.debug() + " ";
            ASSERT_TRUE(narrowed == alone) << "seed " << seed << ": " << text;
            ASSERT_TRUE(narrowed == expected) << "seed " << seed << ": " << text << narrowed.cardinality()
                                              << " found, " << expected.cardinality() << " expected";
        }
    }
}

}  // namespace
}  // namespace tarnwick::testing

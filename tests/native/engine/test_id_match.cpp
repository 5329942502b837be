// The per-object test of a query tree (id_match) against full evaluation on
// random data, and watches kept by threads that assign and test at once.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "engine_support.hpp"
#include "index/core/nested_tasks.hpp"
#include "index/core/query/id_match.hpp"
#include "index/core/watch.hpp"
#include "index/pyref.hpp"

namespace tarnwick::testing {
namespace {

class IdMatch : public EngineTest {};

PyValue list_value(const std::vector<int64_t>& items) {
    GilAcquire gil;
    OwnedRef list = OwnedRef::steal(PyList_New(0));
    for (int64_t v : items) {
        OwnedRef item = OwnedRef::steal(PyLong_FromLongLong(v));
        PyList_Append(list.get(), item.get());
    }
    return PyValue::from_py(list.get());
}

struct MatchData {
    std::mt19937 rng;
    std::vector<PyValue> numbers, strings, others, children;
    std::vector<TestObject> kids;
    uint32_t n = attribute_id("idm_n"), s = attribute_id("idm_s"), o = attribute_id("idm_o"),
             sub = attribute_id("idm_sub"), v = attribute_id("v");

    explicit MatchData(unsigned seed) : rng(seed) {
        for (int64_t i : {0, 1, 2, 3}) numbers.push_back(int_value(i));
        numbers.push_back(float_value(1.5));
        numbers.push_back(float_value(std::numeric_limits<double>::quiet_NaN()));
        for (const char* t : {"a", "ab", "abc", "b", ""}) strings.push_back(str_value(t));
        others = {bool_value(true), bool_value(false), temporal_value(TemporalKind::Date, 3),
                  temporal_value(TemporalKind::Date, 5), list_value({1, 2}), list_value({3}), list_value({})};
        for (int64_t k = 0; k < 3; ++k) {
            kids.push_back(python_object());
            set_plain(kids.back(), v, int_value(k));
            children.push_back(kids.back().as_value());
        }
    }
    const PyValue& pick(const std::vector<PyValue>& from) { return from[rng() % from.size()]; }
    const PyValue& any_value() {
        switch (rng() % 3) {
            case 0: return pick(numbers);
            case 1: return pick(strings);
            default: return pick(others);
        }
    }

    QueryExpr leaf() {
        static const char* paths[] = {"idm_n", "idm_s", "idm_o", "idm_sub.v", "idm_none"};
        const AttrPath path(paths[rng() % 5]);
        const PyValue& value = any_value();
        switch (rng() % 9) {
            case 0: return QueryExpr(QueryExpr::Eq{path, value});
            case 1: return QueryExpr(QueryExpr::Ne{path, value});
            case 2: return QueryExpr(QueryExpr::Gt{path, pick(numbers)});
            case 3: return QueryExpr(QueryExpr::Le{path, pick(others)});
            case 4: return QueryExpr(QueryExpr::Bt{path, pick(numbers), pick(numbers)});
            case 5: return QueryExpr(QueryExpr::StartsWi{path, pick(strings)});
            case 6: return QueryExpr(QueryExpr::Contains{path, pick(strings)});
            case 7: return QueryExpr(QueryExpr::In{path, {value, pick(numbers), pick(others)}});
            default: return QueryExpr(QueryExpr::Eq{path, pick(numbers)});
        }
    }
    QueryExpr tree(int depth) {
        if (depth == 0 || rng() % 3 == 0) return leaf();
        switch (rng() % 3) {
            case 0: return QueryExpr(QueryExpr::Not{QueryBox(tree(depth - 1))});
            case 1: return QueryExpr(QueryExpr::And{{tree(depth - 1), tree(depth - 1)}});
            default: return QueryExpr(QueryExpr::Or{{tree(depth - 1), tree(depth - 1), tree(depth - 1)}});
        }
    }
};

TEST_F(IdMatch, AgreesWithFullEvaluationOnRandomData) {
    size_t telling = 0;  // answers that are neither nothing nor everything
    for (unsigned seed = 0; seed < 4; ++seed) {
        MatchData data(seed);
        auto engine = IndexAPI::create();
        std::vector<TestObject> objects;
        for (int i = 0; i < 60; ++i) {
            objects.push_back(native_object());
            engine->add_object(objects.back().item());
        }
        for (int step = 0; step < 300; ++step) {
            const TestObject& obj = objects[data.rng() % objects.size()];
            switch (data.rng() % 4) {
                case 0: assign(obj, data.n, data.pick(data.numbers)); break;
                case 1: assign(obj, data.s, data.pick(data.strings)); break;
                case 2: assign(obj, data.o, data.any_value()); break;
                default: assign(obj, data.sub, data.pick(data.children)); break;
            }
        }
        // Children change below their holders, one not held at all.
        assign(data.kids[0], data.v, int_value(2));
        for (int q = 0; q < 150; ++q) {
            const QueryExpr query = data.tree(3);
            Bitmap full;
            try {
                full = engine->reduced_query(query).ids;
            } catch (const QueryNotImplemented&) {
                continue;  // a bad between bound: no answer to compare
            }
            if (!full.empty() && full != engine->members()) ++telling;
            Bitmap one_by_one;
            for (const TestObject& obj : objects) {
                const Bitmap mine = engine->matched_among(Bitmap{obj.id()}, query);
                EXPECT_TRUE(mine.empty() || mine == Bitmap{obj.id()});
                one_by_one |= mine;
            }
            EXPECT_TRUE(one_by_one == full) << "seed " << seed << " query " << q << ": " << one_by_one.cardinality()
                                            << " against " << full.cardinality();
            EXPECT_TRUE(engine->matched_among(engine->members(), query) == full);
        }
    }
    EXPECT_GT(telling, 100u);
}

TEST_F(IdMatch, WatchFollowsThreadsThatAssignAndTest) {
    constexpr size_t threads = 4, per_thread = 10, steps = 300;
    auto engine = IndexAPI::create();
    const uint32_t x = attribute_id("idm_x");
    std::vector<TestObject> objects;
    for (size_t i = 0; i < threads * per_thread; ++i) {
        objects.push_back(python_object());
        engine->add_object(objects.back().item());
    }
    const QueryExpr query(QueryExpr::Gt{AttrPath("idm_x"), int_value(5)});
    std::shared_ptr<Watch> watch = engine->open_watch(query, PyHandle());
    std::mutex counted;
    std::map<PyObject*, int> entered;
    run_threads(threads, [&](size_t t) {
        std::mt19937 rng(static_cast<unsigned>(t));
        for (size_t s = 0; s < steps; ++s) {
            // Every thread writes every object, so that tests of one object
            // race with its writes from other threads.
            const TestObject& obj = objects[rng() % objects.size()];
            assign(obj, x, int_value(static_cast<int64_t>(rng() % 10)));
            engine->recheck_watches(Bitmap{obj.id()}, x);
        }
        std::vector<WatchNotice> notices = take_watch_notices();
        std::lock_guard<std::mutex> g(counted);
        for (const WatchNotice& n : notices) entered[n.object.get()] += n.matched ? 1 : -1;
    });
    MutexGuard g(watch->live.lock());
    const Bitmap expected = engine->reduced_query(query).ids;
    EXPECT_TRUE(watch->live.get() == expected);
    EXPECT_FALSE(expected.empty());
    // Entries and exits of each object alternate across the threads: one
    // more entry than exits for the objects in, as many for the others.
    for (const TestObject& obj : objects) EXPECT_EQ(entered[obj.python.get()], expected.contains(obj.id()) ? 1 : 0);
}

}  // namespace
}  // namespace tarnwick::testing

// Nested engines under threads: holder links against lookups, shared nested
// objects reassigned from several threads, and cycles built concurrently.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <set>
#include <vector>

#include "engine_support.hpp"
#include "index/core/nested_tasks.hpp"
#include "index/core/query/query_eval.hpp"

namespace tarnwick::testing {
namespace {

class NestedThreads : public EngineTest {};

TEST_F(NestedThreads, HolderLinksAgainstParentLookups) {
    constexpr uint32_t holders_per_thread = 40, children = 16, writers = 2, steps = 4;
    auto top = IndexAPI::create();
    auto nested = IndexAPI::create(top);
    // Plain numbers stand for ids here: the links are a relation of ids.
    auto holder = [](size_t t, uint32_t h) { return uint32_t(1'000'000 + t * 1000 + h); };
    auto child = [](uint32_t h, uint32_t s) { return uint32_t(2'000'000 + (h * 7 + s) % children); };
    Bitmap holders, all_children;
    for (size_t t = 0; t < writers; ++t)
        for (uint32_t h = 0; h < holders_per_thread; ++h) holders.add(holder(t, h));
    for (uint32_t c = 0; c < children; ++c) all_children.add(2'000'000 + c);
    std::atomic<size_t> writing{writers};

    run_threads(writers + 2, [&](size_t t) {
        if (t >= writers) {
            while (writing.load() != 0) {
                Bitmap parents = nested->get_parent_from_ids(all_children);
                EXPECT_TRUE((parents - holders).empty());
                for (uint32_t c = 0; c < children; ++c) (void)nested->has_holder(2'000'000 + c);
            }
            return;
        }
        // Each holder moves from child to child, the way reassigning an
        // attribute unlinks the old value and links the new one.
        for (uint32_t h = 0; h < holders_per_thread; ++h) {
            nested->register_path(holder(t, h), child(h, 0));
            for (uint32_t s = 1; s < steps; ++s) {
                nested->unregister_path(holder(t, h), child(h, s - 1));
                nested->register_path(holder(t, h), child(h, s));
            }
            if (h % 3 == 0) nested->unregister_path(holder(t, h), child(h, steps - 1));
        }
        writing.fetch_sub(1);
    });

    for (uint32_t c = 0; c < children; ++c) {
        Bitmap want;
        for (size_t t = 0; t < writers; ++t)
            for (uint32_t h = 0; h < holders_per_thread; ++h)
                if (h % 3 != 0 && child(h, steps - 1) == 2'000'000 + c) want.add(holder(t, h));
        EXPECT_TRUE(nested->get_parent_from_ids(Bitmap{2'000'000 + c}) == want) << "child " << c;
        EXPECT_EQ(nested->has_holder(2'000'000 + c), !want.empty());
    }
}

TEST_F(NestedThreads, SharedNestedObjectsReassignedFromSeveralThreads) {
    constexpr size_t threads = 4, per_thread = 20, steps = 5, kids = 4;
    auto engine = IndexAPI::create();
    const uint32_t child_attr = attribute_id("nested.child"), n = attribute_id("nested.n");
    std::vector<TestObject> children;
    std::vector<PyValue> child_values;
    for (size_t k = 0; k < kids; ++k) {
        children.push_back(python_object());
        set_plain(children.back(), n, int_value(static_cast<int64_t>(k)));
        child_values.push_back(children.back().as_value());
    }
    std::vector<std::vector<TestObject>> holders(threads);
    for (auto& group : holders)
        for (size_t i = 0; i < per_thread; ++i) group.push_back(native_object());
    // Which child a holder ends with; none for every fifth holder.
    auto final_child = [&](size_t i) -> int { return i % 5 == 0 ? -1 : int((i + steps - 1) % kids); };

    run_threads(threads, [&](size_t t) {
        for (size_t i = 0; i < per_thread; ++i) {
            const TestObject& h = holders[t][i];
            set_plain(h, child_attr, child_values[(i + t) % kids]);
            engine->add_object(h.item());
            run_nested_tasks();
        }
        for (size_t s = 0; s < steps; ++s)
            for (size_t i = 0; i < per_thread; ++i) assign(holders[t][i], child_attr, child_values[(i + s) % kids]);
        for (size_t i = 0; i < per_thread; i += 5) assign(holders[t][i], child_attr, int_value(-1));
    });

    QueryMap* map = map_of(*engine, child_attr);
    ASSERT_NE(map, nullptr);
    IndexAPI& nested = *map->nested;
    Bitmap held;
    for (size_t k = 0; k < kids; ++k) {
        Bitmap want;
        for (size_t t = 0; t < threads; ++t)
            for (size_t i = 0; i < per_thread; ++i)
                if (final_child(i) == int(k)) want.add(holders[t][i].id());
        SCOPED_TRACE(k);
        EXPECT_TRUE(match(*engine, child_attr, child_values[k]) == want);
        EXPECT_TRUE(nested.get_parent_from_ids(Bitmap{children[k].id()}) == want);
        // A nested object is a member, with its own attributes indexed, as
        // long as something holds it.
        const Bitmap expected_self = want.empty() ? Bitmap() : Bitmap{children[k].id()};
        EXPECT_TRUE(match(nested, n, int_value(static_cast<int64_t>(k))) == expected_self);
        if (!want.empty()) held.add(children[k].id());
    }
    EXPECT_TRUE(nested.members() == held);
    EXPECT_TRUE(match(*engine, child_attr, int_value(-1)).cardinality() == threads * per_thread / 5);
}

TEST_F(NestedThreads, CyclesAssignedConcurrentlyTerminate) {
    // a.x = b, b.x = c, c.x = a, each from its own thread, while a fourth
    // thread points a at itself; earlier rounds break and remake the cycle.
    constexpr size_t rounds = 30;
    auto engine = IndexAPI::create();
    const uint32_t x = attribute_id("cycle.x"), me = attribute_id("cycle_me");
    std::vector<TestObject> objects = {python_object(), python_object(), python_object()};
    std::vector<PyValue> values;
    for (const TestObject& o : objects) values.push_back(o.as_value());
    for (const TestObject& o : objects) engine->add_object(o.item());

    // A path through the self-reference names objects[0] or nothing.
    const QueryExpr through_me(QueryExpr::Eq{AttrPath("cycle_me.cycle_me"), values[0]});
    std::atomic<int> writing{4};
    run_threads(5, [&](size_t t) {
        while (t == 4 && writing.load() != 0)
            EXPECT_TRUE((engine->reduced_query(through_me).ids - Bitmap{objects[0].id()}).empty());
        if (t == 4) return;
        struct Done {
            std::atomic<int>& n;
            ~Done() { n.fetch_sub(1); }
        } done{writing};
        if (t == 3) {
            for (size_t r = 0; r < rounds; ++r) {
                assign(objects[0], me, r % 2 ? int_value(0) : values[0]);
                assign(objects[0], me, values[0]);
            }
            return;
        }
        for (size_t r = 0; r < rounds; ++r) {
            assign(objects[t], x, values[(t + 2) % 3]);
            assign(objects[t], x, str_value("loose"));
            assign(objects[t], x, values[(t + 1) % 3]);
        }
    });

    QueryMap* xs = map_of(*engine, x);
    ASSERT_NE(xs, nullptr);
    for (size_t t = 0; t < 3; ++t) {
        EXPECT_TRUE(match(*engine, x, values[(t + 1) % 3]) == Bitmap{objects[t].id()});
        EXPECT_TRUE(xs->nested->get_parent_from_ids(Bitmap{objects[(t + 1) % 3].id()}) == Bitmap{objects[t].id()});
    }
    EXPECT_TRUE(match(*engine, x, str_value("loose")).empty());
    Bitmap all;
    for (const TestObject& o : objects) all.add(o.id());
    EXPECT_TRUE(xs->nested->members() == all);
    // An object holding itself is indexed by value but never nested in itself.
    QueryMap* self = map_of(*engine, me);
    ASSERT_NE(self, nullptr);
    EXPECT_TRUE(match(*engine, me, values[0]) == Bitmap{objects[0].id()});
    EXPECT_TRUE(self->nested->members().empty());
    EXPECT_TRUE(self->self_holders_in(all) == Bitmap{objects[0].id()});
    EXPECT_TRUE(engine->reduced_query(through_me).ids == Bitmap{objects[0].id()});
}

}  // namespace
}  // namespace tarnwick::testing

// Value indexes of one attribute under concurrent writers and readers.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <string_view>
#include <vector>

#include "engine_support.hpp"
#include "index/core/query/bulk_query_map_adder.hpp"
#include "index/core/query/query_eval.hpp"
#include "value_model.hpp"

namespace tarnwick::testing {
namespace {

class QueryMapThreads : public EngineTest {};

struct Objects {
    std::vector<TestObject> all;
    Bitmap ids;

    explicit Objects(size_t n) {
        for (size_t i = 0; i < n; ++i) {
            all.push_back(native_object());
            ids.add(all.back().id());
        }
    }
    uint32_t id(size_t i) const { return all[i].id(); }
};

// A reader's result may lag behind the writers, but it must only ever name
// objects: an element id that escaped unmasking is a wrong answer. Readers
// stop at the first one, which is reported.
bool only_objects(const Bitmap& result, const Bitmap& objects) {
    Bitmap stray = result - objects;
    EXPECT_TRUE(stray.empty()) << stray.cardinality() << " ids are no object, first " << stray.minimum();
    return stray.empty();
}

TEST_F(QueryMapThreads, ConcurrentInsertAndRemoveLeaveExactContents) {
    constexpr size_t writers = 4, readers = 2, per_writer = 200, steps = 6;
    auto engine = IndexAPI::create();
    Objects objects(writers * per_writer);
    std::atomic<size_t> writing{writers};
    {
        QueryMap map(engine);
        run_threads(writers + readers, [&](size_t t) {
            if (t < writers) {
                for (size_t i = t * per_writer; i < (t + 1) * per_writer; ++i) {
                    const uint32_t id = objects.id(i);
                    ModelValue current = scheduled_value(id, 0);
                    insert_model_value(map, current, id);
                    for (uint32_t s = 1; s < steps; ++s) {
                        remove_model_value(map, current, id);
                        current = scheduled_value(id, s);
                        insert_model_value(map, current, id);
                    }
                    // Every fifth object ends with nothing at all.
                    if (i % 5 == 0) remove_model_value(map, current, id);
                }
                writing.fetch_sub(1);
                return;
            }
            for (bool ok = true; ok && writing.load() != 0;)
                for (const PyValue& probe : probe_table()) ok = ok && only_objects(match(map, probe), objects.ids);
        });

        MapModel all;
        for (size_t t = 0; t < writers; ++t)
            for (size_t i = t * per_writer; i < (t + 1) * per_writer; ++i)
                if (i % 5 != 0) all.set(objects.id(i), scheduled_value(objects.id(i), steps - 1));
        expect_map_matches(map, all);
        ReadGuard owners(map.element_owners.lock());
        ReadGuard elements(map.element_ids.lock());
        EXPECT_EQ(map.element_owners.get().size(), map.element_ids.get().cardinality());
        // Nested-container markers hold an element id of their own.
        size_t markers = 0;
        for (size_t i = 0; i < objects.all.size(); ++i) {
            const uint32_t id = objects.id(i);
            const ModelValue v = scheduled_value(id, steps - 1);
            if (i % 5 != 0 && !v.scalar && id % 3 == 0) ++markers;
        }
        EXPECT_EQ(map.element_ids.get().cardinality(), all.item_count() + markers);
    }
    expect_free_ids_distinct(objects.ids);
}

TEST_F(QueryMapThreads, BulkWritersAgainstSingleInsertsAndReaders) {
    constexpr size_t batches = 20, batch_size = 40, singles = 200;
    auto engine = IndexAPI::create();
    Objects bulk(batches * batch_size), single(2 * singles);
    const Bitmap universe = bulk.ids | single.ids;
    std::vector<std::unique_ptr<QueryMap>> maps;
    for (int i = 0; i < 3; ++i) maps.push_back(std::make_unique<QueryMap>(engine));
    std::atomic<size_t> published{0};
    std::atomic<size_t> writing{3};

    run_threads(4, [&](size_t t) {
        switch (t) {
            case 0:
                // Batches into maps 0 and 1, both writers open at once and
                // opened in one fixed order.
                for (size_t b = 0; b < batches; ++b) {
                    {
                        BulkQueryMapAdder first = maps[0]->get_bulk_writer();
                        BulkQueryMapAdder second = maps[1]->get_bulk_writer();
                        for (size_t i = b * batch_size; i < (b + 1) * batch_size; ++i) {
                            const uint32_t id = bulk.id(i);
                            for (int m = 0; m < 2; ++m) {
                                ModelValue v = scheduled_value(id, static_cast<uint32_t>(m));
                                (m == 0 ? first : second).insert_value(v.value(), v.container_items(id % 3 == 0), id);
                            }
                        }
                    }
                    published.store(b + 1);
                }
                break;
            case 1:
            case 2:
                // Single insertions and replacements into the map the bulk
                // writer also fills, and into one it does not touch.
                for (size_t i = (t - 1) * singles; i < t * singles; ++i) {
                    const uint32_t id = single.id(i);
                    QueryMap& shared = *maps[t - 1];
                    ModelValue v = scheduled_value(id, 7);
                    insert_model_value(shared, v, id);
                    if (i % 2) {
                        remove_model_value(shared, v, id);
                        v = scheduled_value(id, 8);
                        insert_model_value(shared, v, id);
                    }
                    insert_model_value(*maps[2], scheduled_value(id, 9), id);
                }
                break;
            default:
                break;
        }
        if (t != 3) {
            writing.fetch_sub(1);
            return;
        }
        // Once a batch is published, none of its ids may be missing, not
        // even one left in a write buffer.
        for (bool ok = true; ok && writing.load() != 0;) {
            const size_t done = published.load();
            for (size_t e = 0; ok && e < probe_table().size(); ++e) {
                const Bitmap got = match(*maps[0], probe_table()[e]);
                Bitmap required;
                for (size_t i = 0; i < done * batch_size; ++i)
                    if (scheduled_value(bulk.id(i), 0).holds(e)) required.add(bulk.id(i));
                EXPECT_TRUE((required - got).empty()) << "a published batch is missing ids";
                ok = only_objects(got, universe) && (required - got).empty();
            }
        }
    });

    for (int m = 0; m < 3; ++m) {
        MapModel want;
        if (m < 2)
            for (size_t i = 0; i < bulk.all.size(); ++i) want.set(bulk.id(i), scheduled_value(bulk.id(i), m));
        if (m == 0)
            for (size_t i = 0; i < singles; ++i) want.set(single.id(i), scheduled_value(single.id(i), i % 2 ? 8 : 7));
        if (m == 1)
            for (size_t i = singles; i < 2 * singles; ++i)
                want.set(single.id(i), scheduled_value(single.id(i), i % 2 ? 8 : 7));
        if (m == 2)
            for (size_t i = 0; i < 2 * singles; ++i) want.set(single.id(i), scheduled_value(single.id(i), 9));
        SCOPED_TRACE(m);
        expect_map_matches(*maps[m], want);
    }
    maps.clear();
    expect_free_ids_distinct(universe);
}

// An assignment replaces the value in one step for queries: a reader sees the
// object with its old or its new value, never with neither (between the
// removal and the insertion) nor with both, even when the two values live in
// different sub-indexes.
TEST_F(QueryMapThreads, ReplacementIsOneStepForThreadedQueries) {
    constexpr size_t readers = 2, rounds = 3000;
    auto engine = IndexAPI::create();
    // No dot: a dot would make it a path into a nested engine.
    const std::string name = "replace_race_" + std::to_string(native_object().id());
    const uint32_t attribute = attribute_id(name);
    const AttrPath path{std::string_view(name)};
    const std::vector<PyValue> values{int_value(1), str_value("one"), int_value(2), bool_value(true)};
    TestObject target = native_object();
    set_plain(target, attribute, values[0]);
    engine->add_object(target.item());
    const Bitmap just_target{target.id()};

    const QueryExpr either(QueryExpr::In{path, values});
    std::vector<QueryExpr> pair;
    pair.emplace_back(QueryExpr::Eq{path, values[0]});
    pair.emplace_back(QueryExpr::Eq{path, values[1]});
    const QueryExpr both(QueryExpr::And{std::move(pair)});

    std::atomic<bool> writing{true};
    std::atomic<size_t> wrong{0};
    run_threads(1 + readers, [&](size_t t) {
        if (t == 0) {
            for (size_t r = 0; r < rounds; ++r) assign(target, attribute, values[r % values.size()]);
            writing.store(false);
            return;
        }
        while (writing.load()) {
            if (!(engine->reduced_query(either).ids == just_target)) wrong.fetch_add(1);
            if (!engine->reduced_query(both).ids.empty()) wrong.fetch_add(1);
        }
    });
    EXPECT_EQ(wrong.load(), 0u);
    EXPECT_TRUE(engine->reduced_query(either).ids == just_target);
}

}  // namespace
}  // namespace tarnwick::testing

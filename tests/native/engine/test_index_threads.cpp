// Engine tables (members, items, the table of value indexes) under threads
// that add objects one by one and in batches, assign attributes and read.
#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <mutex>
#include <string>
#include <vector>

#include "engine_support.hpp"
#include "index/core/nested_tasks.hpp"
#include "value_model.hpp"

namespace tarnwick::testing {
namespace {

class IndexThreads : public EngineTest {};

std::vector<TestObject> make_objects(size_t n) {
    std::vector<TestObject> out;
    for (size_t i = 0; i < n; ++i) out.push_back(native_object());
    return out;
}

Bitmap ids_of(const std::vector<TestObject>& objects) {
    Bitmap out;
    for (const TestObject& o : objects) out.add(o.id());
    return out;
}

// Reads the way Python-facing calls do: the member list, the item handles
// (sometimes while holding the GIL, which must not block on the engine) and
// equality matches. Every answer may lag, but must name known objects only;
// false after the first that does not (reported).
bool read_engine(const IndexAPI& engine, uint32_t attribute, const Bitmap& universe, size_t round) {
    Bitmap members = engine.members();
    EXPECT_TRUE((members - universe).empty());
    if (round % 4 == 0) {
        GilAcquire gil;
        EXPECT_LE(engine.member_handles().size(), universe.cardinality());
    } else {
        EXPECT_LE(engine.member_handles().size(), universe.cardinality());
    }
    for (const PyValue& probe : probe_table()) {
        Bitmap stray = match(engine, attribute, probe) - universe;
        EXPECT_TRUE(stray.empty()) << "a match names " << stray.minimum() << ", no object";
        if (!stray.empty()) return false;
    }
    return true;
}

MapModel model_of(const std::vector<TestObject>& objects, uint32_t step) {
    MapModel model;
    for (const TestObject& o : objects) model.set(o.id(), scheduled_value(o.id(), step));
    return model;
}

void expect_attribute_matches(const IndexAPI& engine, uint32_t attribute, const MapModel& model) {
    QueryMap* map = map_of(engine, attribute);
    ASSERT_NE(map, nullptr);
    expect_map_matches(*map, model);
}

TEST_F(IndexThreads, ConcurrentFirstValuesOfAnAttributeAreAllKept) {
    // Every round all threads index the first value of a fresh attribute at
    // the same moment, so they race to install its map.
    constexpr size_t threads = 4, rounds = 40;
    auto engine = IndexAPI::create();
    std::vector<TestObject> objects = make_objects(threads);
    std::barrier sync(static_cast<std::ptrdiff_t>(threads));
    const std::string prefix = "first_value_race." + std::to_string(objects[0].id()) + ".";

    run_threads(threads, [&](size_t t) {
        engine->add_object(objects[t].item());
        for (size_t r = 0; r < rounds; ++r) {
            // Interning the fresh name is part of the race.
            const uint32_t attribute = attribute_id(prefix + std::to_string(r));
            sync.arrive_and_wait();
            engine->add_index(objects[t].id(), attribute, int_value(static_cast<int64_t>(t + r)));
        }
    });

    for (size_t r = 0; r < rounds; ++r) {
        const uint32_t attribute = attribute_id(prefix + std::to_string(r));
        for (size_t t = 0; t < threads; ++t) {
            Bitmap got = match(*engine, attribute, int_value(static_cast<int64_t>(t + r)));
            EXPECT_TRUE(got == Bitmap{objects[t].id()}) << "round " << r << " thread " << t;
        }
    }
}

TEST_F(IndexThreads, AddObjectAndAssignmentsKeepEveryIndexExact) {
    constexpr size_t threads = 4, per_thread = 50, steps = 3;
    auto engine = IndexAPI::create();
    const uint32_t a = attribute_id("add_assign.a"), b = attribute_id("add_assign.b"), hidden = attribute_id("_add_assign");
    std::vector<std::vector<TestObject>> groups;
    for (size_t t = 0; t < threads; ++t) groups.push_back(make_objects(per_thread));
    std::vector<TestObject> all;
    for (auto& g : groups) all.insert(all.end(), g.begin(), g.end());
    const Bitmap universe = ids_of(all);
    for (const TestObject& o : all) {
        set_plain(o, a, scheduled_value(o.id(), 0).python_value());
        set_plain(o, hidden, int_value(o.id()));
    }
    std::atomic<size_t> writing{threads};

    run_threads(threads + 1, [&](size_t t) {
        if (t == threads) {
            for (size_t round = 0; writing.load() != 0; ++round)
                if (!read_engine(*engine, a, universe, round)) break;
            return;
        }
        // Each thread adds its own objects and assigns to its neighbour's,
        // which may or may not have been added yet.
        const std::vector<TestObject>& mine = groups[t];
        const std::vector<TestObject>& theirs = groups[(t + 1) % threads];
        for (size_t i = 0; i < per_thread; ++i) {
            engine->add_object(mine[i].item());
            run_nested_tasks();
            const TestObject& other = theirs[i];
            for (uint32_t s = 1; s <= steps; ++s) {
                assign(other, a, scheduled_value(other.id(), s).python_value());
                assign(other, b, scheduled_value(other.id(), 10 + s).python_value());
                assign(other, hidden, int_value(s));
            }
        }
        writing.fetch_sub(1);
    });

    EXPECT_TRUE(engine->members() == universe);
    EXPECT_EQ(engine->member_handles().size(), all.size());
    expect_attribute_matches(*engine, a, model_of(all, steps));
    expect_attribute_matches(*engine, b, model_of(all, 10 + steps));
    EXPECT_EQ(map_of(*engine, hidden), nullptr) << "names starting with \"_\" are not indexed one by one";
}

TEST_F(IndexThreads, AddObjectManyAgainstSingleAddsAndAssignments) {
    constexpr size_t batches = 8, batch_size = 25, singles = 100;
    auto engine = IndexAPI::create();
    const uint32_t a = attribute_id("many.a"), hidden = attribute_id("_many");
    std::vector<TestObject> batched = make_objects(batches * batch_size);
    for (const TestObject& o : batched) {
        set_plain(o, a, scheduled_value(o.id(), 0).python_value());
        set_plain(o, hidden, int_value(o.id()));
    }
    // The single objects are made by their thread, drawing object ids while
    // the batches draw element ids. Each id is published before the object
    // is added, so a reader that sees it in a match finds it published.
    std::vector<TestObject> single;
    std::mutex published_lock;
    Bitmap published;
    std::atomic<size_t> writing{3};
    Bitmap universe = ids_of(batched);

    run_threads(4, [&](size_t t) {
        switch (t) {
            case 0:
                for (size_t k = 0; k < batches; ++k) {
                    std::vector<StoredItem> batch;
                    for (size_t i = k * batch_size; i < (k + 1) * batch_size; ++i) batch.push_back(batched[i].item());
                    // A duplicate goes in once.
                    batch.push_back(batched[k * batch_size].item());
                    engine->add_object_many(std::move(batch));
                    run_nested_tasks();
                }
                break;
            case 1:
                for (size_t i = 0; i < singles; ++i) {
                    TestObject o = native_object();
                    set_plain(o, a, scheduled_value(o.id(), 30).python_value());
                    set_plain(o, hidden, int_value(o.id()));
                    {
                        std::lock_guard<std::mutex> g(published_lock);
                        published.add(o.id());
                    }
                    engine->add_object(o.item());
                    run_nested_tasks();
                    single.push_back(std::move(o));
                }
                break;
            case 2:
                for (uint32_t s = 1; s <= 2; ++s)
                    for (const TestObject& o : batched) assign(o, a, scheduled_value(o.id(), 20 + s).python_value());
                break;
            default:
                for (size_t round = 0; writing.load() != 0; ++round) {
                    std::vector<Bitmap> got;
                    for (const PyValue& probe : probe_table()) got.push_back(match(*engine, a, probe));
                    got.push_back(engine->members());
                    Bitmap known = universe.clone();
                    {
                        std::lock_guard<std::mutex> g(published_lock);
                        known |= published;
                    }
                    bool ok = true;
                    for (const Bitmap& ids : got) ok = ok && (ids - known).empty();
                    EXPECT_TRUE(ok) << "a match names no object";
                    if (!ok) break;
                    if (round % 4 == 0) {
                        GilAcquire gil;
                        EXPECT_LE(engine->member_handles().size(), batched.size() + singles);
                    }
                }
                return;
        }
        writing.fetch_sub(1);
    });

    universe |= ids_of(single);
    EXPECT_TRUE(engine->members() == universe);
    MapModel want = model_of(batched, 22);
    for (const TestObject& o : single) want.set(o.id(), scheduled_value(o.id(), 30));
    expect_attribute_matches(*engine, a, want);
    // Batches index every attribute, "_" names included; single adds do not.
    for (const TestObject& o : batched) EXPECT_TRUE(match(*engine, hidden, int_value(o.id())) == Bitmap{o.id()});
    for (const TestObject& o : single) EXPECT_TRUE(match(*engine, hidden, int_value(o.id())).empty());

    // Element ids and object ids were drawn concurrently: none may be shared.
    {
        QueryMap* map = map_of(*engine, a);
        ReadGuard g(map->element_ids.lock());
        EXPECT_FALSE(map->element_ids.get().intersects(universe));
    }
    engine.reset();
    expect_free_ids_distinct(universe);
}

}  // namespace
}  // namespace tarnwick::testing

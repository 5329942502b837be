// Values of names starting with "_" under threads: batches index them,
// reductions take objects out, assignments follow them where indexed.
#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "engine_support.hpp"
#include "index/core/nested_tasks.hpp"

namespace tarnwick::testing {
namespace {

class PrivateValueThreads : public EngineTest {};

TEST_F(PrivateValueThreads, AssignmentsFollowBatchesAndReductions) {
    constexpr int64_t rounds = 6;
    auto engine = IndexAPI::create();
    const uint32_t hidden = attribute_id("_private_threads");
    std::vector<TestObject> all;
    Bitmap everyone;
    // A batch locks every engine list it adds: few enough for the thread
    // sanitizer, which tracks at most 64 locks held at once.
    for (size_t i = 0; i < 24; ++i) {
        all.push_back(native_object());
        set_plain(all.back(), hidden, int_value(0));
        everyone.add(all.back().id());
    }
    auto add_all = [&] {
        std::vector<StoredItem> batch;
        for (const TestObject& o : all) batch.push_back(o.item());
        engine->add_object_many(std::move(batch));
        run_nested_tasks();
    };
    std::atomic<int> writing{2};
    run_threads(3, [&](size_t t) {
        for (int64_t r = 1; t < 2 && r <= rounds; ++r) {
            if (t == 0) {
                for (const TestObject& o : all) assign(o, hidden, int_value(r));
            } else {
                add_all();
                engine->keep_only_from_bitmap(Bitmap{all[0].id()});
            }
        }
        if (t < 2) writing.fetch_sub(1);
        while (t == 2 && writing.load() != 0)
            for (const TestObject& o : all) (void)engine->indexes_private(o.id(), hidden);
    });
    add_all();
    for (const TestObject& o : all) assign(o, hidden, int_value(-1));
    EXPECT_TRUE(match(*engine, hidden, int_value(-1)) == everyone);
    for (int64_t r = 0; r <= rounds; ++r) EXPECT_TRUE(match(*engine, hidden, int_value(r)).empty()) << r;
}

}  // namespace
}  // namespace tarnwick::testing

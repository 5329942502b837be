// Values of names starting with "_" under threads: batches that index them,
// assignments that must follow them only where they were indexed, and
// reductions that take objects out.
#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "engine_support.hpp"
#include "index/core/nested_tasks.hpp"

namespace tarnwick::testing {
namespace {

class PrivateValueThreads : public EngineTest {};

TEST_F(PrivateValueThreads, AssignmentsFollowBatchesAndReductions) {
    constexpr size_t objects = 60, rounds = 6;
    auto batched = IndexAPI::create();
    auto single = IndexAPI::create();
    const uint32_t hidden = attribute_id("_private_threads"), keep = attribute_id("private_threads.keep");
    std::vector<TestObject> all;
    for (size_t i = 0; i < objects; ++i) {
        all.push_back(native_object());
        set_plain(all.back(), hidden, int_value(0));
        set_plain(all.back(), keep, bool_value(true));
    }
    auto batch = [&] {
        std::vector<StoredItem> items;
        for (const TestObject& o : all) items.push_back(o.item());
        return items;
    };
    for (const TestObject& o : all) single->add_object(o.item());
    std::atomic<size_t> writing{2};

    run_threads(4, [&](size_t t) {
        if (t == 0) {
            for (size_t r = 1; r <= rounds; ++r)
                for (const TestObject& o : all) assign(o, hidden, int_value(static_cast<int64_t>(r)));
        } else if (t == 1) {
            for (size_t r = 0; r < rounds; ++r) {
                batched->add_object_many(batch());
                run_nested_tasks();
                batched->keep_only_from_bitmap(Bitmap{all[0].id()});
            }
        } else {
            while (writing.load() != 0) {
                for (const TestObject& o : all) (void)batched->indexes_private(o.id(), hidden);
                (void)match(*batched, hidden, int_value(1));
            }
            return;
        }
        writing.fetch_sub(1);
    });

    batched->add_object_many(batch());
    run_nested_tasks();
    for (const TestObject& o : all) assign(o, hidden, int_value(-1));
    Bitmap everyone;
    for (const TestObject& o : all) everyone.add(o.id());
    EXPECT_TRUE(match(*batched, hidden, int_value(-1)) == everyone);
    for (int64_t r = 0; r <= int64_t(rounds); ++r) EXPECT_TRUE(match(*batched, hidden, int_value(r)).empty()) << r;
    // An engine that never indexed the value does not start with an assignment.
    EXPECT_TRUE(match(*single, hidden, int_value(-1)).empty());
    for (const TestObject& o : all) EXPECT_FALSE(single->indexes_private(o.id(), hidden));
}

}  // namespace
}  // namespace tarnwick::testing

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <new>
#include <random>
#include <vector>

#include "index/core/structures/alloc_fault.hpp"
#include "index/core/structures/paged_slots.hpp"

using namespace tarnwick;

namespace {

using Slots = PagedSlots<std::shared_ptr<int>, 4>;

// A few slots far up the id space cost their own pages only, and every other
// id reads as empty, within the directory and past it.
TEST(PagedSlots, HighIdsCostTheirPagesOnly) {
    Slots slots;
    const std::vector<size_t> ids = {1'000'000, 1'000'001, 1'000'017, 5'000'000};
    for (size_t id : ids) slots.make(id) = std::make_shared<int>(static_cast<int>(id));
    EXPECT_EQ(slots.page_count(), 3u);
    for (size_t id : ids) ASSERT_TRUE(slots[id]) << id;
    for (size_t id : {size_t(0), size_t(999'999), size_t(1'000'002), size_t(4'999'999), size_t(5'000'001),
                      slots.size() + 100})
        EXPECT_FALSE(slots[id]) << id;
    EXPECT_EQ(slots.find(3), nullptr);
    ASSERT_NE(slots.find(1'000'002), nullptr);
    EXPECT_FALSE(*slots.find(1'000'002));
}

// Against a map on random ids: reads, emptying through find and the walk,
// which visits the slots of existing pages in id order.
TEST(PagedSlots, AgreesWithAMap) {
    std::mt19937 rng(7);
    Slots slots;
    std::map<size_t, int> model;
    for (int step = 0; step < 4000; ++step) {
        const size_t id = rng() % 3000;
        if (rng() % 3) {
            slots.make(id) = std::make_shared<int>(step);
            model[id] = step;
        } else if (auto* slot = slots.find(id)) {
            slot->reset();
            model.erase(id);
        } else {
            ASSERT_EQ(model.count(id), 0u);
        }
    }
    for (size_t id = 0; id < 3100; ++id) {
        auto it = model.find(id);
        if (it == model.end()) ASSERT_FALSE(slots[id]) << id;
        else ASSERT_TRUE(slots[id] && *slots[id] == it->second) << id;
    }
    std::map<size_t, int> walked;
    size_t last = 0;
    bool first = true;
    slots.for_each_slot([&](size_t id, const std::shared_ptr<int>& v) {
        EXPECT_TRUE(first || id > last);
        first = false;
        last = id;
        if (v) walked[id] = *v;
    });
    EXPECT_EQ(walked, model);
}

// A failed reservation leaves the table as it was; one whose page exists is
// no allocation point at all.
TEST(PagedSlots, FailedReservationChangesNothing) {
    Slots slots;
    slots.make(5) = std::make_shared<int>(5);
    fail_allocation_after(1);
    EXPECT_NO_THROW(slots.reserve(6));
    EXPECT_THROW(slots.reserve(10'000), std::bad_alloc);
    fail_allocation_after(0);
    EXPECT_EQ(slots.page_count(), 1u);
    EXPECT_TRUE(slots[5] && *slots[5] == 5);
    EXPECT_FALSE(slots[10'000]);
    slots.reserve(10'000) = std::make_shared<int>(1);
    EXPECT_EQ(slots.page_count(), 2u);
}

}  // namespace

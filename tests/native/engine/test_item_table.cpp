// The item table's slots hold a reference and an epoch only; the record of a
// slot's object is found through the object, or, for an object whose record
// the object cannot give (one without a Python object), kept by the table.
// A slot that lost its record, kept a stale one, or left a record alive once
// emptied fails here; under the sanitizers, so does a record read after it
// was freed.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "engine_support.hpp"
#include "index/core/stored_item.hpp"
#include "index/pyref.hpp"

namespace tarnwick::testing {
namespace {

// How the object of an item relates to its record.
enum class Shape {
    Python,   // a Python Indexable, carrying its own record
    Native,   // no Python object
    Foreign,  // a Python Indexable handed in with another object's record
};

struct Made {
    StoredItem item;
    // The test's own hold, besides the holders under test.
    RecordPtr record;
};

// Whether anyone but the test's own hold keeps the record.
bool held_elsewhere(const RecordPtr& record) { return record->holder_count() > 1; }

Made make_item(Shape shape) {
    switch (shape) {
        case Shape::Python: {
            TestObject o = python_object();
            return {o.item(), o.record};
        }
        case Shape::Native: {
            TestObject o = native_object();
            return {o.item(), o.record};
        }
        case Shape::Foreign: {
            TestObject o = python_object();
            RecordPtr other = IndexableRecord::make_default();
            return {StoredItem{o.python, other}, other};
        }
    }
    return {};
}

void drain_parked() {
    GilAcquire gil;
    drain_pending_decrefs();
}

class ItemTableSlots : public ::testing::TestWithParam<Shape> {};

TEST_P(ItemTableSlots, ASlotGivesBackTheRecordAndReferenceItWasFilledWith) {
    {
        ItemTable table;
        constexpr uint32_t id = 300;  // past the first page
        Made made = make_item(GetParam());
        const PyObject* obj = made.item.python_handle.get();
        reserve_item_slot(table, id);
        EXPECT_FALSE(table[id].occupied());
        EXPECT_EQ(table.record(id), nullptr);
        EXPECT_FALSE(fill_slot(table, id, made.item).record);
        made.item = StoredItem{};

        ASSERT_TRUE(table[id].occupied());
        EXPECT_EQ(table[id].python_handle.get(), obj);
        EXPECT_EQ(table.record(id), made.record);
        EXPECT_TRUE(held_since(table[id], table_epoch()));
        {
            const StoredItem copy = table.item(id);
            EXPECT_EQ(copy.python_handle.get(), obj);
            EXPECT_EQ(copy.record, made.record);
            EXPECT_EQ(copy.joined, table[id].joined);
        }
        // Neighbours of the slot are empty, not the same object.
        EXPECT_FALSE(table[id - 1].occupied());
        EXPECT_EQ(table.record(id + 1), nullptr);

        StoredItem out = empty_slot(table, id);
        EXPECT_EQ(out.python_handle.get(), obj);
        EXPECT_EQ(out.record, made.record);
        EXPECT_FALSE(table[id].occupied());
        EXPECT_EQ(table.record(id), nullptr);
        EXPECT_FALSE(empty_slot(table, id).record);
        // What came out is all that holds the record now.
        out = StoredItem{};
        drain_parked();
        EXPECT_FALSE(held_elsewhere(made.record));
    }
    drain_parked();
}

TEST_P(ItemTableSlots, TheTableKeepsTheRecordAliveWhileTheSlotHoldsIt) {
    RecordPtr record;
    {
        ItemTable table;
        {
            Made made = make_item(GetParam());
            record = made.record;
            reserve_item_slot(table, 7);
            fill_slot(table, 7, std::move(made.item));
        }
        drain_parked();
        ASSERT_TRUE(held_elsewhere(record));
        EXPECT_EQ(table.record(7), record);
        EXPECT_EQ(table.record(7)->id, record->id);
    }
    drain_parked();
    EXPECT_FALSE(held_elsewhere(record));
}

TEST_P(ItemTableSlots, RefillingKeepsTheStampOfTheSameObjectOnly) {
    {
        ItemTable table;
        Made first = make_item(GetParam());
        reserve_item_slot(table, 3);
        fill_slot(table, 3, first.item);
        const uint64_t stamp = table[3].joined;
        advance_table_epoch();
        EXPECT_EQ(fill_slot(table, 3, first.item).record, first.record);
        EXPECT_EQ(table[3].joined, stamp);
        EXPECT_TRUE(held_since(table[3], stamp));

        // Another object of each shape takes the slot: a later stamp, its own
        // record, and the first object's record no longer reached through
        // the table.
        for (Shape next : {Shape::Python, Shape::Native, Shape::Foreign}) {
            advance_table_epoch();
            const uint64_t view = table_epoch() - 1;
            Made other = make_item(next);
            StoredItem previous = fill_slot(table, 3, other.item);
            EXPECT_NE(previous.record, other.record);
            EXPECT_EQ(table.record(3), other.record);
            EXPECT_GT(table[3].joined, view);
            EXPECT_FALSE(held_since(table[3], view));
        }
        first.item = StoredItem{};
        drain_parked();
        EXPECT_FALSE(held_elsewhere(first.record));
    }
    drain_parked();
}

TEST_P(ItemTableSlots, AWalkVisitsTheFilledSlotsOfTheIdsOnly) {
    {
        RwLocked<ItemTable> items;
        std::vector<Made> made;
        const std::vector<uint32_t> filled = {0, 5, 255, 256, 1000};
        for (uint32_t id : filled) {
            made.push_back(make_item(GetParam()));
            reserve_item_slot(items.get(), id);
            fill_slot(items.get(), id, made.back().item);
        }
        empty_slot(items.get(), 255);
        Bitmap ids;
        for (uint32_t id : {0u, 1u, 5u, 255u, 256u, 999u, 1000u, 5000u}) ids.add(id);
        std::vector<uint32_t> seen;
        for_each_present_item(items, ids, [&](uint32_t id, const ItemSlot& slot) {
            seen.push_back(id);
            EXPECT_EQ(slot.python_handle.get(), items.get()[id].python_handle.get());
            EXPECT_EQ(items.get().record(id), made[id == 0 ? 0 : id == 5 ? 1 : id == 256 ? 3 : 4].record);
        });
        EXPECT_EQ(seen, (std::vector<uint32_t>{0, 5, 256, 1000}));
    }
    drain_parked();
}

INSTANTIATE_TEST_SUITE_P(Shapes, ItemTableSlots, ::testing::Values(Shape::Python, Shape::Native, Shape::Foreign),
                         [](const ::testing::TestParamInfo<Shape>& info) {
                             switch (info.param) {
                                 case Shape::Python: return "python";
                                 case Shape::Native: return "native";
                                 case Shape::Foreign: return "foreign";
                             }
                             return "unknown";
                         });

}  // namespace
}  // namespace tarnwick::testing

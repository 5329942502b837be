// The native record of an object: its engine list, which keeps one entry in
// place and spills into a heap array, the id the last holder frees, and the
// instance's copy of its attribute map's word.
#include <gtest/gtest.h>
#include <malloc.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine_support.hpp"
#include "index/core/structures/id_alloc.hpp"
#include "index/indexable_record.hpp"
#include "index/interfaces/indexable.hpp"
#include "index/pyref.hpp"

namespace tarnwick::testing {
namespace {

std::vector<const IndexAPI*> engines_of(const IndexMetaVec& list) {
    std::vector<const IndexAPI*> out;
    for (const IndexMeta& meta : list) out.push_back(meta.lock().get());
    return out;
}

class EngineListSizes : public ::testing::TestWithParam<size_t> {};

// Under the sanitizers a wrong move between the in-place entry and the heap
// array (an entry built twice, or never) fails here, as does a lost entry.
TEST_P(EngineListSizes, CopiesMovesAndErasesKeepEveryEntry) {
    const size_t n = GetParam();
    std::vector<std::shared_ptr<IndexAPI>> engines;
    std::vector<const IndexAPI*> expected;
    IndexMetaVec list;
    EXPECT_EQ(list.capacity(), 1u);
    for (size_t i = 0; i < n; ++i) {
        engines.push_back(IndexAPI::create());
        list.push_back(engines.back());
        expected.push_back(engines.back().get());
        ASSERT_EQ(engines_of(list), expected);
    }
    if (n <= 1) EXPECT_EQ(list.capacity(), 1u) << "one engine needs no heap array";

    IndexMetaVec copy(list);
    EXPECT_EQ(engines_of(copy), expected);
    IndexMetaVec moved(std::move(copy));
    EXPECT_EQ(engines_of(moved), expected);
    EXPECT_TRUE(copy.empty());
    copy = moved;  // copy assignment over an empty list
    EXPECT_EQ(engines_of(copy), expected);
    moved = std::move(list);  // move assignment over a full one
    EXPECT_EQ(engines_of(moved), expected);

    // Every other engine dies; trimming keeps the rest in order.
    std::vector<const IndexAPI*> alive;
    for (size_t i = 0; i < n; ++i) {
        if (i % 2) engines[i].reset();
        else alive.push_back(expected[i]);
    }
    trim_indexes(moved, nullptr);
    EXPECT_EQ(engines_of(moved), alive);
    // erase_if drops the first live one, and the list still takes new entries.
    if (!alive.empty()) {
        const IndexAPI* first = alive.front();
        erase_if(moved, [first](const IndexMeta& m) { return m.lock().get() == first; });
        alive.erase(alive.begin());
        EXPECT_EQ(engines_of(moved), alive);
    }
    auto extra = IndexAPI::create();
    moved.push_back(extra);
    alive.push_back(extra.get());
    EXPECT_EQ(engines_of(moved), alive);
    // The copy kept its own entries: the dead ones now read as null.
    std::vector<const IndexAPI*> copied;
    for (size_t i = 0; i < n; ++i) copied.push_back(i % 2 ? nullptr : expected[i]);
    EXPECT_EQ(engines_of(copy), copied);
}

INSTANTIATE_TEST_SUITE_P(Entries, EngineListSizes, ::testing::Values(0u, 1u, 2u, 3u, 5u, 9u));

TEST(EngineList, SortOrdersByEngineAddress) {
    std::vector<std::shared_ptr<IndexAPI>> engines;
    IndexMetaVec list;
    for (int i = 0; i < 4; ++i) {
        engines.push_back(IndexAPI::create());
        list.push_back(engines.back());
    }
    sort_index_metas(list, nullptr);
    std::vector<const IndexAPI*> got = engines_of(list);
    EXPECT_TRUE(std::is_sorted(got.begin(), got.end(), std::less<const IndexAPI*>()));
}

// Holders share the one record; the id goes back to the allocator only with
// the last of them.
TEST(Record, LastHolderFreesTheId) {
    RecordPtr record = IndexableRecord::make_default();
    const uint32_t id = record->id;
    const IdStream stream = record->id_stream;
    RecordPtr item_share = record;
    const size_t free_before = free_id_count();
    record.reset();
    EXPECT_EQ(free_id_count(), free_before);
    item_share.reset();
    EXPECT_EQ(free_id_count(), free_before + 1);
    EXPECT_EQ(allocate_id(stream), id) << "the freed id is the next one its stream hands out";
    free_id(id, stream);
}

// Every object has a record: its count, lists, mutexes and id fit one
// 64-byte chunk of the allocator (56 usable bytes), and the record is the
// start of its own allocation (no control block in front of it). Under the
// address sanitizer a pointer into the middle of a block is reported here.
TEST(RecordLayout, TheRecordIsItsOwnAllocationWithinFiftySixBytes) {
    EXPECT_EQ(sizeof(RecordPtr), sizeof(void*));
    RecordPtr record = IndexableRecord::make_default();
    EXPECT_LE(malloc_usable_size(record.get()), 56u);
    EXPECT_EQ(record->holder_count(), 1u);
}

// Every holder counts once: copies, moves, the Python object and the
// accessor's reference.
TEST(Record, EveryHolderCountsOnce) {
    RecordPtr record = IndexableRecord::make_default();
    {
        std::vector<RecordPtr> copies(5, record);
        EXPECT_EQ(record->holder_count(), 6u);
        RecordPtr moved = std::move(copies.back());
        copies.pop_back();
        EXPECT_EQ(record->holder_count(), 6u);
    }
    EXPECT_EQ(record->holder_count(), 1u);

    GilAcquire gil;
    OwnedRef object = OwnedRef::steal(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(indexable_type())));
    ASSERT_TRUE(object);
    RecordPtr held = indexable_record(object.get());
    EXPECT_EQ(held->holder_count(), 2u) << "the object's own and this copy";
    object = OwnedRef();
    drain_pending_decrefs();
    EXPECT_EQ(held->holder_count(), 1u);
}

// Threads copy and drop their shares of records and let go of them in any
// order: each record frees its id exactly once, whichever thread drops it
// last.
TEST(RecordThreads, TheLastHolderOnAnyThreadFreesTheIdOnce) {
    constexpr int threads = 4;
#if defined(__SANITIZE_THREAD__)
    constexpr int records = 50;
    constexpr int rounds = 200;
#else
    constexpr int records = 200;
    constexpr int rounds = 2000;
#endif
    std::vector<std::vector<RecordPtr>> shares(threads);
    for (int r = 0; r < records; ++r) {
        RecordPtr record = IndexableRecord::make_default();
        for (auto& share : shares) share.push_back(record);
    }
    const size_t free_before = free_id_count();
    run_threads(threads, [&shares](size_t t) {
        std::vector<RecordPtr> mine = std::move(shares[t]);
        for (int i = 0; i < rounds; ++i) {
            RecordPtr copy = mine[static_cast<size_t>(i) % mine.size()];
            std::vector<RecordPtr> more(3, copy);
        }
        // Half the threads let go front to back, the others back to front.
        if (t % 2) std::reverse(mine.begin(), mine.end());
        while (!mine.empty()) mine.pop_back();
    });
    EXPECT_EQ(free_id_count(), free_before + records);
}

// An instance reads its attributes through its own copy of the map's word.
// Through every growth step of the pairs' block, the change to the hash form,
// replacement in place and the collector's clear, that copy must answer as
// the record's map does: a copy left behind by a write that moved the pairs
// reads freed memory (caught by the sanitizers) or a wrong value.
class InstanceReadCache : public EngineTest, public ::testing::WithParamInterface<int> {};

TEST_P(InstanceReadCache, FollowsEveryWriteOfTheMap) {
    const int count = GetParam();
    GilAcquire gil;
    OwnedRef object = OwnedRef::steal(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(indexable_type())));
    ASSERT_TRUE(object);
    PyObject* self = object.get();
    const RecordPtr record = indexable_record(self);
    // Every kind of slot: small ints and True/False keep no reference of
    // their own, the others do.
    auto value_for = [](int i, int round) -> PyObject* {
        switch (i % 4) {
            case 0: return PyLong_FromLong(i + round);  // cached small ints
            case 1: return PyLong_FromLongLong(100000LL * (i + 1) + round);
            case 2: return Py_NewRef(((i + round) & 1) ? Py_True : Py_False);
            default: return PyUnicode_FromFormat("text %d %d", i, round);
        }
    };
    auto check = [&](int upto, int round) {
        for (int j = 0; j < upto; ++j) {
            OwnedRef name = OwnedRef::steal(PyUnicode_FromFormat("a%d", j));
            const uint32_t id = attribute_id(PyUnicode_AsUTF8(name.get()));
            const PyValue* direct = record->attribute_map().get().get(id);
            ASSERT_NE(direct, nullptr);
            ASSERT_EQ(cached_attribute(self, id), direct) << j << " of " << upto;
            OwnedRef read = OwnedRef::steal(PyObject_GetAttr(self, name.get()));
            OwnedRef expected = OwnedRef::steal(value_for(j, round));
            ASSERT_TRUE(read);
            ASSERT_EQ(PyObject_RichCompareBool(read.get(), expected.get(), Py_EQ), 1) << j;
        }
    };
    for (int i = 0; i < count; ++i) {
        OwnedRef v = OwnedRef::steal(value_for(i, 0));
        ASSERT_EQ(PyObject_SetAttrString(self, ("a" + std::to_string(i)).c_str(), v.get()), 0);
        check(i + 1, 0);
    }
    for (int i = 0; i < count; ++i) {
        OwnedRef v = OwnedRef::steal(value_for(i, 1));
        ASSERT_EQ(PyObject_SetAttrString(self, ("a" + std::to_string(i)).c_str(), v.get()), 0);
    }
    check(count, 1);
    // The collector's clear empties the map; reads then find nothing.
    ASSERT_EQ(Py_TYPE(self)->tp_clear(self), 0);
    EXPECT_EQ(record->attribute_map().get().len(), 0u);
    for (int j = 0; j < count; ++j) EXPECT_EQ(cached_attribute(self, attribute_id("a" + std::to_string(j))), nullptr);
    EXPECT_EQ(PyObject_GetAttrString(self, "a0"), nullptr);
    EXPECT_TRUE(PyErr_ExceptionMatches(PyExc_AttributeError));
    PyErr_Clear();
}

INSTANTIATE_TEST_SUITE_P(Attributes, InstanceReadCache, ::testing::Values(1, 2, 3, 5, 8, 9, 21));

// The instance dict lives in Indexable's part of the object. The class shows
// it only to subclasses, but whatever an instance holds there goes with the
// instance, and an instance kept for reuse comes back without it.
TEST_F(EngineTest, AnInstanceReleasesItsDictAndComesBackWithout) {
    GilAcquire gil;
    PyObject* cls = reinterpret_cast<PyObject*>(indexable_type());
    OwnedRef marker = OwnedRef::steal(PyList_New(0));
    ASSERT_TRUE(marker);
    const Py_ssize_t refs_before = Py_REFCNT(marker.get());
    for (int round = 0; round < 3; ++round) {
        std::vector<OwnedRef> objects;
        for (int i = 0; i < 8; ++i) {
            objects.push_back(OwnedRef::steal(PyObject_CallNoArgs(cls)));
            ASSERT_TRUE(objects.back());
            auto* object = reinterpret_cast<IndexableObject*>(objects.back().get());
            ASSERT_EQ(object->dict, nullptr);
            object->dict = PyDict_New();
            ASSERT_NE(object->dict, nullptr);
            ASSERT_EQ(PyDict_SetItemString(object->dict, "held", marker.get()), 0);
        }
        EXPECT_EQ(Py_REFCNT(marker.get()), refs_before + 8);
        objects.clear();
        drain_pending_decrefs();
        EXPECT_EQ(Py_REFCNT(marker.get()), refs_before);
    }
}

}  // namespace
}  // namespace tarnwick::testing

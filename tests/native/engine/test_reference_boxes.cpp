// The shared boxes of PyHandle, which come from a pool of small slots: copies
// and drops on threads without the GIL, parking of the last copy, and the
// drain. A box handed out again while some handle still held it would show as
// a wrong reference count on one object or another, or as two families of
// copies sharing one box.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <vector>

#include "engine_support.hpp"
#include "index/core/structures/slot_pool.hpp"
#include "index/pyref.hpp"

namespace tarnwick::testing {
namespace {

// Objects owned by the test, each with a known count of extra references
// that handles will take over.
struct CountedObjects {
    std::vector<PyObject*> objs;
    std::vector<Py_ssize_t> base;

    explicit CountedObjects(size_t n) {
        GilAcquire gil;
        for (size_t i = 0; i < n; ++i) {
            // Floats outside any cache: every object distinct.
            PyObject* o = PyFloat_FromDouble(0.5 + double(i));
            objs.push_back(o);
            base.push_back(Py_REFCNT(o));
        }
    }
    ~CountedObjects() {
        GilAcquire gil;
        for (PyObject* o : objs) Py_DECREF(o);
    }
};

void drain() {
    GilAcquire gil;
    drain_pending_decrefs();
}

class ReferenceBoxThreads : public ::testing::TestWithParam<int> {};

TEST_P(ReferenceBoxThreads, CopiesAndDropsOnManyThreadsKeepEveryCountRight) {
    const int threads = GetParam();
    constexpr size_t per_thread = 3000;
    CountedObjects objects(size_t(threads) * per_thread);
    // One family of copies per object, made on the worker without the GIL
    // from references taken here.
    {
        GilAcquire gil;
        for (PyObject* o : objects.objs) Py_INCREF(o);
    }
    std::vector<std::vector<PyHandle>> kept(threads);
    run_threads(size_t(threads), [&](size_t t) {
        std::mt19937 rng{static_cast<unsigned>(t)};
        std::vector<std::vector<PyHandle>> families;
        for (size_t i = 0; i < per_thread; ++i) {
            PyObject* o = objects.objs[t * per_thread + i];
            std::vector<PyHandle> family{PyHandle::steal(o)};
            for (unsigned k = rng() % 4; k > 0; --k) family.push_back(family.front());
            families.push_back(std::move(family));
            // Drop whole families now and then: their boxes park (no GIL
            // here) and their slots go back to the pool while the next
            // families take new ones.
            if (rng() % 3 == 0) {
                size_t victim = rng() % families.size();
                families[victim].clear();
            }
        }
        for (auto& family : families) {
            if (family.empty()) continue;
            // Every copy of a family shares its box; no two families do.
            for (const PyHandle& h : family) EXPECT_EQ(h.shared_id(), family.front().shared_id());
            EXPECT_EQ(family.front().sole_copy(), family.size() == 1);
            // Keep one copy of each family still alive.
            kept[t].push_back(family.back());
        }
    });
    drain();
    std::set<const void*> boxes;
    size_t live = 0;
    std::vector<char> alive(objects.objs.size(), 0);
    for (auto& handles : kept) {
        for (const PyHandle& h : handles) {
            EXPECT_TRUE(boxes.insert(h.shared_id()).second) << "two families share a box";
            ++live;
            auto at = std::find(objects.objs.begin(), objects.objs.end(), h.get());
            ASSERT_NE(at, objects.objs.end());
            alive[size_t(at - objects.objs.begin())] = 1;
        }
    }
    {
        GilAcquire gil;
        for (size_t i = 0; i < objects.objs.size(); ++i)
            EXPECT_EQ(Py_REFCNT(objects.objs[i]), objects.base[i] + alive[i]) << "object " << i;
    }
    // Dropped here without the GIL: parked again, released by the drain.
    kept.clear();
    drain();
    {
        GilAcquire gil;
        for (size_t i = 0; i < objects.objs.size(); ++i) EXPECT_EQ(Py_REFCNT(objects.objs[i]), objects.base[i]);
    }
    EXPECT_EQ(pending_decref_count(), 0u);
    EXPECT_GT(live, 0u);
}

INSTANTIATE_TEST_SUITE_P(Threads, ReferenceBoxThreads, ::testing::Values(1, 2, 4));

// The last copy of a handle dropped while the release would free its object
// parks the box, and the drain frees both; with the GIL and another reference
// left, the release is immediate and the box goes back at once.
TEST(ReferenceBoxes, ParkedBoxesAreFreedByTheDrainAndImmediateOnesAtOnce) {
    drain();
    const int64_t boxes_before = SlotPool::in_use();
    {
        GilAcquire gil;
        PyObject* shared = PyFloat_FromDouble(2.5);
        PyHandle a = PyHandle::borrow(shared);
        PyHandle b = a;
        EXPECT_EQ(SlotPool::in_use(), boxes_before + 1);
        a.reset();
        EXPECT_EQ(SlotPool::in_use(), boxes_before + 1);
        b.reset();  // `shared` still holds one: released on the spot
        EXPECT_EQ(SlotPool::in_use(), boxes_before);
        EXPECT_EQ(pending_decref_count(), 0u);
        EXPECT_EQ(Py_REFCNT(shared), 1);

        PyHandle last = PyHandle::steal(shared);  // the only reference now
        last.reset();
        EXPECT_EQ(pending_decref_count(), 1u);
        EXPECT_EQ(SlotPool::in_use(), boxes_before + 1);
        drain_pending_decrefs();
        EXPECT_EQ(pending_decref_count(), 0u);
        EXPECT_EQ(SlotPool::in_use(), boxes_before);

        // release_reference parks in a box of its own.
        PyObject* lone = PyFloat_FromDouble(3.5);
        release_reference(lone);
        EXPECT_EQ(pending_decref_count(), 1u);
        EXPECT_EQ(SlotPool::in_use(), boxes_before + 1);
        drain_pending_decrefs();
        EXPECT_EQ(SlotPool::in_use(), boxes_before);
    }
}

}  // namespace
}  // namespace tarnwick::testing

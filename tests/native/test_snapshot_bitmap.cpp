#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "index/core/structures/snapshot_bitmap.hpp"

using namespace tarnwick;

namespace {

Bitmap of(std::initializer_list<uint32_t> ids) {
    Bitmap b;
    for (uint32_t id : ids) b.add(id);
    return b;
}

// A snapshot keeps the set it was taken from through every kind of write;
// the set itself takes the writes.
class SnapshotWrites : public ::testing::TestWithParam<int> {};

TEST_P(SnapshotWrites, LeaveTheSnapshotAsItWas) {
    SnapshotBitmap set;
    set.edit() |= of({1, 2, 3, 70'000});
    const std::shared_ptr<const Bitmap> before = set.snapshot();
    EXPECT_EQ(set.snapshots_out(), 1);
    switch (GetParam()) {
        case 0: set.edit().add(4); break;
        case 1: set.edit().remove(2); break;
        case 2: set.edit() -= of({1, 70'000}); break;
        case 3: set.edit() = Bitmap(); break;
    }
    EXPECT_EQ(*before, of({1, 2, 3, 70'000}));
    EXPECT_FALSE(set.get() == *before);
    EXPECT_EQ(set.snapshots_out(), 0);  // the write moved to a copy
}

INSTANTIATE_TEST_SUITE_P(Kinds, SnapshotWrites, ::testing::Range(0, 4));

// With no snapshot out, a write changes the set in place: no copy per
// addition for an index that nobody queries meanwhile.
TEST(SnapshotBitmap, WritesInPlaceWhileNoSnapshotIsOut) {
    SnapshotBitmap set;
    const Bitmap* where = &set.edit();
    set.edit().add(5);
    EXPECT_EQ(&set.get(), where);
    { auto dropped = set.snapshot(); }
    set.edit().add(6);
    EXPECT_EQ(&set.get(), where);
    EXPECT_EQ(set.get(), of({5, 6}));
}

// Readers take snapshots under the shared lock and read them without it while
// a writer adds ids one by one: every snapshot holds a prefix 1..k of the
// ids, never a set caught half way (the sanitizers see any shared write).
TEST(SnapshotBitmap, ReadersSeeWholeSetsWhileWritesRun) {
    SnapshotBitmap set;
    constexpr uint32_t total = 20'000;
    std::atomic<bool> done{false};
    std::atomic<int> bad{0};
    std::vector<std::thread> readers;
    for (int r = 0; r < 2; ++r) {
        readers.emplace_back([&] {
            while (!done.load()) {
                std::shared_ptr<const Bitmap> seen;
                {
                    ReadGuard g(set.lock());
                    seen = set.snapshot();
                }
                const uint64_t n = seen->cardinality();
                if (n && (seen->minimum() != 1 || seen->maximum() != n)) bad.fetch_add(1);
            }
        });
    }
    for (uint32_t id = 1; id <= total; ++id) {
        WriteGuard g(set.lock());
        set.edit().add(id);
    }
    done.store(true);
    for (auto& t : readers) t.join();
    EXPECT_EQ(bad.load(), 0);
    EXPECT_EQ(set.get().cardinality(), total);
}

}  // namespace

// A bitmap under a reader-writer lock that readers may also take away as a
// snapshot, kept for as long as they like without holding the lock.
//
// A query needs the whole member set as it was at one moment, for longer than
// it may hold the member lock (it takes value-index locks meanwhile, which
// come before that lock). Copying the set for each query costs a pass over
// it; here a snapshot shares the set, and a writer that finds a snapshot out
// changes a copy instead (copy on write). While no snapshot is out, writes go
// in place as before.
#pragma once

#include <atomic>
#include <memory>

#include "index/core/structures/bitmap.hpp"
#include "index/core/structures/sync.hpp"

namespace tarnwick {

class SnapshotBitmap {
public:
    SnapshotBitmap() : current_(std::make_shared<Bitmap>()) {}
    SnapshotBitmap(const SnapshotBitmap&) = delete;
    SnapshotBitmap& operator=(const SnapshotBitmap&) = delete;

    RwLock& lock() const noexcept { return lock_; }

    // The set. Caller holds lock(), in either mode.
    const Bitmap& get() const noexcept { return *current_; }

    // The set as it is now, unchanged by later writes. Caller holds lock(),
    // in either mode.
    std::shared_ptr<const Bitmap> snapshot() const noexcept { return current_; }

    // The set, to change. Caller holds lock() exclusively. Throws
    // std::bad_alloc before any change.
    Bitmap& edit() {
        // Snapshots are only made under the lock, which this caller holds
        // exclusively: a count of one means none is out, nor can one appear.
        if (current_.use_count() > 1) {
            current_ = std::make_shared<Bitmap>(current_->clone());
        } else {
            // The last snapshot may just have been dropped on another
            // thread, after reading the set: its reads happen before the
            // writes that follow (the count's decrement releases).
            std::atomic_thread_fence(std::memory_order_acquire);
        }
        return *current_;
    }

    // Snapshots that share the current set, beside the set's own reference
    // (for tests). Caller holds lock().
    long snapshots_out() const noexcept { return current_.use_count() - 1; }

private:
    mutable RwLock lock_;
    std::shared_ptr<Bitmap> current_;
};

}  // namespace tarnwick

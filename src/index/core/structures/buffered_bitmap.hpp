// A bitmap with a write buffer, so batched writers can add ids in bulk.
//
// Readers consult only bitmap(): whoever buffers must flush before a reader
// can run (the bulk writer does so before it releases its locks).
//
// The buffer exists only between the first buffered id and the flush: an
// index holds thousands of these (two per bit of every number key, one per
// character and position of its strings), nearly all at rest, and an inline
// buffer made them cost their capacity each, even in an index of one object.
#pragma once

#include <cstdint>
#include <memory>
#include <utility>

#include "index/core/structures/bitmap.hpp"

namespace tarnwick {

template <uint32_t N>
class BufferedBitmap {
public:
    static constexpr uint32_t capacity = N;

    BufferedBitmap() noexcept = default;
    BufferedBitmap(BufferedBitmap&& o) noexcept
        : buffer_(std::move(o.buffer_)), count_(std::exchange(o.count_, 0)), bitmap_(std::move(o.bitmap_)) {}
    BufferedBitmap& operator=(BufferedBitmap&& o) noexcept {
        buffer_ = std::move(o.buffer_);
        count_ = std::exchange(o.count_, 0);
        bitmap_ = std::move(o.bitmap_);
        return *this;
    }

    // Throws std::bad_alloc (nothing changed) when the buffer or the bitmap
    // cannot grow.
    void add_buffered(uint32_t id) {
        if (!buffer_) {
            buffer_ = std::make_unique_for_overwrite<uint32_t[]>(N);
        } else if (count_ == N) {
            drain();
        }
        buffer_[count_++] = id;
    }
    // Moves the buffered ids into the bitmap and lets the buffer go.
    void flush() {
        drain();
        buffer_.reset();
    }
    uint32_t buffered() const noexcept { return count_; }
    // The ids waiting in the buffer, buffered() of them.
    const uint32_t* buffered_ids() const noexcept { return buffer_.get(); }

    Bitmap& bitmap() noexcept { return bitmap_; }
    const Bitmap& bitmap() const noexcept { return bitmap_; }

private:
    void drain() {
        if (count_ == 0) return;
        bitmap_.add_many(buffer_.get(), count_);
        count_ = 0;
    }

    std::unique_ptr<uint32_t[]> buffer_;
    uint32_t count_ = 0;
    Bitmap bitmap_;
};

}  // namespace tarnwick

// A bitmap with an inline write buffer, so batched writers can add ids in bulk.
//
// Readers consult only bitmap(): whoever buffers must flush before a reader
// can run (the bulk writer does so before it releases its locks).
#pragma once

#include <cstdint>

#include "index/core/structures/bitmap.hpp"

namespace tarnwick {

template <uint32_t N>
class BufferedBitmap {
public:
    static constexpr uint32_t capacity = N;

    void add_buffered(uint32_t id) {
        if (count_ == N) flush();
        buffer_[count_++] = id;
    }
    void flush() {
        if (count_ == 0) return;
        bitmap_.add_many(buffer_, count_);
        count_ = 0;
    }
    uint32_t buffered() const noexcept { return count_; }
    // The ids waiting in the buffer, buffered() of them.
    const uint32_t* buffered_ids() const noexcept { return buffer_; }

    Bitmap& bitmap() noexcept { return bitmap_; }
    const Bitmap& bitmap() const noexcept { return bitmap_; }

private:
    uint32_t buffer_[N] = {};
    uint32_t count_ = 0;
    Bitmap bitmap_;
};

}  // namespace tarnwick

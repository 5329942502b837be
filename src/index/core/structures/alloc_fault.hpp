// A test hook that makes an allocation point of the engine fail on demand.
//
// Real allocation failures are rare and cannot be provoked where a test wants
// them, yet every path that adds to an index must undo its partial work when
// one happens. The hook is always compiled in and inert until armed: the
// points (bitmap insertion, map and record insertion, table growth) cost one
// relaxed atomic load each.
#pragma once

#include <atomic>
#include <cstdint>

#include "index/core/structures/bitmap_reserve.hpp"

namespace tarnwick {

namespace alloc_fault_detail {
inline std::atomic<int64_t> countdown{0};
// Counts the point down; throws std::bad_alloc at the one that reaches zero.
void hit();
}  // namespace alloc_fault_detail

// An allocation point: throws std::bad_alloc if the armed countdown ends here,
// or if the bitmap library spent its reserve and it cannot be mapped again.
inline void alloc_point() {
    if (alloc_fault_detail::countdown.load(std::memory_order_relaxed) != 0) [[unlikely]]
        alloc_fault_detail::hit();
    bitmap_reserve_point();
}

// Arms the hook so that the n-th allocation point from now fails (once); 0
// disarms it. Returns the count that was left: 0 if the last armed failure
// happened (or none was armed), more if it did not come yet.
int64_t fail_allocation_after(int64_t n) noexcept;

}  // namespace tarnwick

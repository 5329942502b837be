// A reserve of address space that the bitmap library falls back on when an
// allocation of its own fails.
//
// Older CRoaring releases (Debian 12 ships 0.2.66) have no memory hooks and
// assert when one of their container allocations fails, ending the process
// in the middle of an index update. Our own allocations throw and the
// operation is undone; the library's cannot. So the library's calls of
// malloc, calloc and realloc are routed (through its own import table, the
// only hook those releases leave) to wrappers that, when the system refuses,
// give back a block of address space mapped ahead for this purpose and try
// once more. The library never sees the failure; the next allocation point of
// the engine (alloc_point) sees that the reserve was spent and, unless it can
// map the reserve again, throws std::bad_alloc there, where the operation can
// still be undone.
//
// Where the dynamic loader or the architecture is not one we know (or the
// library is linked statically), nothing is routed and the library behaves
// as it always did.
#pragma once

#include <atomic>
#include <cstddef>

namespace tarnwick {

namespace bitmap_reserve_detail {
// Set by a wrapper that gave the reserve away, cleared once it is mapped again.
inline std::atomic<bool> spent{false};
// Maps the reserve again; throws std::bad_alloc if the system refuses.
void restore();
}  // namespace bitmap_reserve_detail

// Routes the bitmap library's allocations through the wrappers and maps the
// reserve. Once per process; later calls return at once. The number of import
// slots routed (0 where routing is not possible).
size_t install_bitmap_reserve() noexcept;

// Whether the reserve is given away and not yet mapped again.
inline bool bitmap_reserve_spent() noexcept { return bitmap_reserve_detail::spent.load(std::memory_order_relaxed); }

// An engine point that may throw: maps the reserve again if it was spent, or
// throws std::bad_alloc if that is refused.
inline void bitmap_reserve_point() {
    if (bitmap_reserve_spent()) [[unlikely]]
        bitmap_reserve_detail::restore();
}

// For tests: the next n allocations of the library act as if the system had
// refused them once (the wrapper spends the reserve and tries again), and,
// with reserve_too, mapping the reserve again is refused until the next call.
void refuse_bitmap_allocations(int n, bool reserve_too = false) noexcept;

}  // namespace tarnwick

#include "index/core/stack_room.hpp"

#include <pthread.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace tarnwick {
namespace {

// Enough for the deepest call chain between two checks: a leaf test with its
// bitmap operators, or the descent into a nested engine up to its next check.
// Sanitizer builds have much larger frames. A small stack keeps a quarter.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr size_t MARGIN = 64 * 1024;
#else
constexpr size_t MARGIN = 16 * 1024;
#endif

// The lowest address a checked frame may use; 1 when the stack's bounds are
// unknown (nothing is refused then).
thread_local uintptr_t stack_floor = 0;

uintptr_t find_floor() noexcept {
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0) return 1;
    void* low = nullptr;
    size_t size = 0;
    const bool known = pthread_attr_getstack(&attr, &low, &size) == 0;
    pthread_attr_destroy(&attr);
    if (!known) return 1;
    return reinterpret_cast<uintptr_t>(low) + std::min(MARGIN, size / 4);
}

}  // namespace

void check_stack_room() {
    if (stack_floor == 0) stack_floor = find_floor();
    // The frame itself, not a local: a sanitizer may keep locals elsewhere.
    if (reinterpret_cast<uintptr_t>(__builtin_frame_address(0)) < stack_floor) throw StackExhausted();
}

}  // namespace tarnwick

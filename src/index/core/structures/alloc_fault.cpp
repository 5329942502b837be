#include "index/core/structures/alloc_fault.hpp"

#include <new>

namespace tarnwick {

void alloc_fault_detail::hit() {
    int64_t left = countdown.load(std::memory_order_relaxed);
    while (left > 0) {
        if (countdown.compare_exchange_weak(left, left - 1, std::memory_order_relaxed)) {
            if (left == 1) throw std::bad_alloc();
            return;
        }
    }
}

int64_t fail_allocation_after(int64_t n) noexcept {
    return alloc_fault_detail::countdown.exchange(n < 0 ? 0 : n, std::memory_order_relaxed);
}

}  // namespace tarnwick

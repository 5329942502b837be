#include "index/core/structures/centered_array.hpp"

#include <cstring>
#include <stdexcept>

namespace tarnwick {

uint32_t CenteredArray::lower_bound(uint32_t id) const noexcept {
    uint32_t lo = 0, hi = len_;
    const uint32_t* run = data_ + start_;
    while (lo < hi) {
        uint32_t mid = (lo + hi) / 2;
        if (run[mid] < id)
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo;
}

bool CenteredArray::contains(uint32_t id) const noexcept {
    uint32_t k = lower_bound(id);
    return k < len_ && data_[start_ + k] == id;
}

void CenteredArray::move_run_to(uint32_t new_start) noexcept {
    if (new_start == start_) return;
    std::memmove(data_ + new_start, data_ + start_, len_ * sizeof(uint32_t));
    start_ = static_cast<uint8_t>(new_start);
}

void CenteredArray::insert(uint32_t id) {
    if (len_ >= capacity) throw std::logic_error("insert into a full CenteredArray");

    // With one side blocked, re-centre first so that both sides have room
    // for the shift below.
    if (start_ == 0 || start_ + len_ >= capacity) move_run_to((capacity - len_) / 2);

    uint32_t k = lower_bound(id);
    if (k < len_ && data_[start_ + k] == id) return;

    if (start_ > 0 && k < len_ / 2u) {
        // Fewer elements before the gap: shift them left.
        std::memmove(data_ + start_ - 1, data_ + start_, k * sizeof(uint32_t));
        --start_;
    } else {
        std::memmove(data_ + start_ + k + 1, data_ + start_ + k, (len_ - k) * sizeof(uint32_t));
    }
    data_[start_ + k] = id;
    ++len_;
}

bool CenteredArray::remove(uint32_t id) {
    uint32_t k = lower_bound(id);
    if (k >= len_ || data_[start_ + k] != id) return false;
    if (start_ + k < len_ / 2u) {
        std::memmove(data_ + start_ + 1, data_ + start_, k * sizeof(uint32_t));
        ++start_;
    } else {
        std::memmove(data_ + start_ + k, data_ + start_ + k + 1, (len_ - k - 1) * sizeof(uint32_t));
    }
    --len_;
    return true;
}

void CenteredArray::union_with(const CenteredArray& other) {
    // Room for two full runs, so an oversized union is detected before this
    // array is touched.
    uint32_t merged[2 * capacity];
    uint32_t n = 0;
    const uint32_t *a = begin(), *a_end = end();
    const uint32_t *b = other.begin(), *b_end = other.end();
    while (a != a_end && b != b_end) {
        if (*a < *b) {
            merged[n++] = *a++;
        } else if (*b < *a) {
            merged[n++] = *b++;
        } else {
            merged[n++] = *a++;
            ++b;
        }
    }
    while (a != a_end) merged[n++] = *a++;
    while (b != b_end) merged[n++] = *b++;
    if (n > capacity) throw std::logic_error("CenteredArray union exceeds its capacity");

    std::memcpy(data_, merged, n * sizeof(uint32_t));
    start_ = 0;
    len_ = static_cast<uint8_t>(n);
    move_run_to((capacity - n) / 2);
}

}  // namespace tarnwick

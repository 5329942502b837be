// A sorted run of at most four ids kept inside its owner.
//
// The run floats in the middle of the four slots so that an insertion or a
// removal only has to shift the shorter side, and the run can grow towards
// either end without moving as a whole.
#pragma once

#include <cstdint>
#include <span>

namespace tarnwick {

class CenteredArray {
public:
    static constexpr uint32_t capacity = 4;

    CenteredArray() = default;

    // Adds id; an id already present changes nothing except a possible
    // re-centring. Throws std::logic_error when the array is full: owners
    // switch to a bitmap before that can happen.
    void insert(uint32_t id);
    // Deletes id if present; returns whether it was.
    bool remove(uint32_t id);
    // Replaces the run by the sorted union with other's run. Throws
    // std::logic_error (leaving this array unchanged) if the union would
    // hold more than four ids.
    void union_with(const CenteredArray& other);

    bool contains(uint32_t id) const noexcept;

    uint32_t start() const noexcept { return start_; }
    uint32_t len() const noexcept { return len_; }
    bool empty() const noexcept { return len_ == 0; }
    bool full() const noexcept { return len_ == capacity; }

    // The occupied slots, ascending.
    std::span<const uint32_t> run() const noexcept { return {data_ + start_, len_}; }
    const uint32_t* begin() const noexcept { return data_ + start_; }
    const uint32_t* end() const noexcept { return data_ + start_ + len_; }

private:
    // Index within the run of the first element not smaller than id.
    uint32_t lower_bound(uint32_t id) const noexcept;
    void move_run_to(uint32_t new_start) noexcept;

    uint32_t data_[capacity] = {};
    uint8_t start_ = 0;
    uint8_t len_ = 0;
};

}  // namespace tarnwick

// Move-only owner of a CRoaring 32-bit bitmap.
//
// Only the part of the C API that every supported CRoaring release shares is
// used. A failed allocation throws std::bad_alloc, which the Python layer turns
// into MemoryError. A moved-from Bitmap owns nothing and may only be assigned
// to or destroyed.
#pragma once

#include <roaring/roaring.h>

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

#include "index/core/structures/alloc_fault.hpp"

namespace tarnwick {

class Bitmap {
public:
    Bitmap() : r_(checked(roaring_bitmap_create())) {}
    explicit Bitmap(uint32_t capacity) : r_(checked(roaring_bitmap_create_with_capacity(capacity))) {}
    Bitmap(std::initializer_list<uint32_t> ids) : Bitmap() {
        roaring_bitmap_add_many(r_, ids.size(), ids.begin());
    }
    ~Bitmap() {
        if (r_) roaring_bitmap_free(r_);
    }

    Bitmap(const Bitmap&) = delete;
    Bitmap& operator=(const Bitmap&) = delete;
    Bitmap(Bitmap&& o) noexcept : r_(std::exchange(o.r_, nullptr)) {}
    Bitmap& operator=(Bitmap&& o) noexcept {
        std::swap(r_, o.r_);
        return *this;
    }

    Bitmap clone() const { return Bitmap(checked(roaring_bitmap_copy(r_))); }

    void add(uint32_t id) {
        alloc_point();
        roaring_bitmap_add(r_, id);
    }
    void add_many(const uint32_t* ids, size_t n) {
        alloc_point();
        if (n) roaring_bitmap_add_many(r_, n, ids);
    }
    void add_many(const std::vector<uint32_t>& ids) { add_many(ids.data(), ids.size()); }
    void remove(uint32_t id) { roaring_bitmap_remove(r_, id); }
    bool contains(uint32_t id) const { return roaring_bitmap_contains(r_, id); }
    void clear() { roaring_bitmap_clear(r_); }

    bool empty() const { return roaring_bitmap_is_empty(r_); }
    uint64_t cardinality() const { return roaring_bitmap_get_cardinality(r_); }
    // Largest member, 0 when empty.
    uint32_t maximum() const { return empty() ? 0 : roaring_bitmap_maximum(r_); }
    uint32_t minimum() const { return empty() ? 0 : roaring_bitmap_minimum(r_); }

    Bitmap operator&(const Bitmap& o) const { return Bitmap(checked(roaring_bitmap_and(r_, o.r_))); }
    Bitmap operator|(const Bitmap& o) const { return Bitmap(checked(roaring_bitmap_or(r_, o.r_))); }
    Bitmap operator-(const Bitmap& o) const { return Bitmap(checked(roaring_bitmap_andnot(r_, o.r_))); }
    Bitmap& operator&=(const Bitmap& o) {
        roaring_bitmap_and_inplace(r_, o.r_);
        return *this;
    }
    Bitmap& operator|=(const Bitmap& o) {
        roaring_bitmap_or_inplace(r_, o.r_);
        return *this;
    }
    Bitmap& operator-=(const Bitmap& o) {
        roaring_bitmap_andnot_inplace(r_, o.r_);
        return *this;
    }
    // The complement within [start, end).
    Bitmap flipped(uint64_t start, uint64_t end) const {
        return Bitmap(checked(roaring_bitmap_flip(r_, start, end)));
    }
    // The union of all of them, in one pass (cheaper than repeated |= when
    // there are many small parts).
    static Bitmap union_of(const std::vector<const Bitmap*>& parts) {
        std::vector<const roaring_bitmap_t*> raw;
        raw.reserve(parts.size());
        for (const Bitmap* b : parts) raw.push_back(b->r_);
        if (raw.empty()) return Bitmap();
        return Bitmap(checked(roaring_bitmap_or_many(raw.size(), raw.data())));
    }
    // The members of rank skip to skip + take - 1 (ranks from 0, ascending).
    Bitmap page(uint64_t skip, uint64_t take) const {
        const uint64_t n = cardinality();
        if (skip >= n || take == 0) return Bitmap();
        const uint64_t last = take > n - skip ? n - 1 : skip + take - 1;
        uint32_t low = 0, high = 0;
        roaring_bitmap_select(r_, static_cast<uint32_t>(skip), &low);
        roaring_bitmap_select(r_, static_cast<uint32_t>(last), &high);
        Bitmap out(checked(roaring_bitmap_from_range(low, uint64_t(high) + 1, 1)));
        out &= *this;
        return out;
    }
    bool intersects(const Bitmap& o) const { return roaring_bitmap_intersect(r_, o.r_); }
    uint64_t and_cardinality(const Bitmap& o) const { return roaring_bitmap_and_cardinality(r_, o.r_); }

    bool operator==(const Bitmap& o) const { return roaring_bitmap_equals(r_, o.r_); }

    // Calls f(id) for every member in ascending order; f returns nothing.
    template <class F>
    void for_each(F&& f) const {
        using Fn = std::remove_reference_t<F>;
        roaring_iterate(
            r_,
            [](uint32_t v, void* p) -> bool {
                (*static_cast<Fn*>(p))(v);
                return true;
            },
            const_cast<void*>(static_cast<const void*>(&f)));
    }

    std::vector<uint32_t> to_vector() const {
        std::vector<uint32_t> out(cardinality());
        if (!out.empty()) roaring_bitmap_to_uint32_array(r_, out.data());
        return out;
    }

    roaring_bitmap_t* raw() noexcept { return r_; }
    const roaring_bitmap_t* raw() const noexcept { return r_; }

private:
    explicit Bitmap(roaring_bitmap_t* r) noexcept : r_(r) {}
    // Results are where queries, which have no other allocation points, learn
    // that the library had to spend its reserve.
    static roaring_bitmap_t* checked(roaring_bitmap_t* r) {
        if (!r) throw std::bad_alloc();
        if (bitmap_reserve_spent()) [[unlikely]] {
            try {
                bitmap_reserve_detail::restore();
            } catch (...) {
                roaring_bitmap_free(r);
                throw;
            }
        }
        return r;
    }

    roaring_bitmap_t* r_;
};

}  // namespace tarnwick

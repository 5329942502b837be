// The set of object ids that hold one whole value.
//
// Most values are held by one object or a handful, so a set starts as a
// sorted array of at most four ids stored inline (Small) and only becomes a
// roaring bitmap (Large) when that array would overflow. Medium is the same
// array in its own allocation; merging two engines' sets can produce it.
// Representations only ever grow: removal and restriction keep them.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <variant>
#include <vector>

#include "index/core/structures/bitmap.hpp"
#include "index/core/structures/centered_array.hpp"

namespace tarnwick {

enum class HybridSetTag : uint32_t { Empty = 0, Small = 1, Medium = 2, Large = 3 };

class HybridSet {
public:
    // Empty.
    HybridSet() noexcept = default;
    // A Small set holding one id: the form a newly stored value starts in.
    static HybridSet with_id(uint32_t id);
    // A Medium set holding the given ids (at most four; duplicates ignored).
    static HybridSet medium_of(std::span<const uint32_t> ids);
    // A Large set owning the bitmap.
    static HybridSet large_of(Bitmap bitmap);

    // Deep copies: a Medium array gets its own allocation, a Large bitmap is
    // cloned.
    HybridSet(const HybridSet& o);
    HybridSet& operator=(const HybridSet& o);
    // The moved-from set is left Empty.
    HybridSet(HybridSet&& o) noexcept;
    HybridSet& operator=(HybridSet&& o) noexcept;
    ~HybridSet() = default;

    uint32_t tag() const noexcept { return static_cast<uint32_t>(rep_.index()); }
    HybridSetTag representation() const noexcept { return static_cast<HybridSetTag>(tag()); }

    void add(uint32_t id);
    void remove(uint32_t id);
    // Keeps only the ids that are members of keep.
    void retain(const Bitmap& keep);
    // Adds every id of this set to out.
    void union_into(Bitmap& out) const;
    // this := this ∪ other.
    void merge(const HybridSet& other);

    bool contains(uint32_t id) const noexcept;
    uint64_t size() const noexcept;
    // Without counting: removals ask after every id, and a large set's
    // count sums all its containers.
    bool empty() const noexcept;
    Bitmap to_bitmap() const;
    std::vector<uint32_t> to_vector() const;

    // Calls f(id) for every id in ascending order.
    template <class F>
    void for_each(F&& f) const {
        if (const CenteredArray* a = array()) {
            for (uint32_t id : a->run()) f(id);
        } else if (const Bitmap* b = std::get_if<Bitmap>(&rep_)) {
            b->for_each([&f](uint32_t id) { f(id); });
        }
    }

    // The array behind a Small or Medium set, null otherwise.
    const CenteredArray* array() const noexcept;
    // The bitmap behind a Large set, null otherwise.
    const Bitmap* bitmap() const noexcept { return std::get_if<Bitmap>(&rep_); }

private:
    using Medium = std::unique_ptr<CenteredArray>;
    // The alternatives' order is the tag.
    using Rep = std::variant<std::monostate, CenteredArray, Medium, Bitmap>;

    CenteredArray* mutable_array() noexcept;
    // Replaces a Small or Medium set by a Large one holding its ids.
    Bitmap& convert_to_large();

    Rep rep_;
};

}  // namespace tarnwick

// Per-byte-position index of the string values of one attribute.
//
// Each string is stored as its bytes, one position per byte, centred on the
// middle of the position range: with S positions (always even) a string of n
// bytes starts at S/2 - n/2 - 1 (integer halves). The range is kept wide enough
// that this start is never clamped at 0 (S/2 > n/2 for every stored string), so
// growing by 2k positions, k added at each end, moves every stored string to
// exactly the start the rule gives at the new size. Equality therefore looks at
// a single position, and removal finds what insertion placed.
//
// Each position records its ids per byte value plus separate start and end
// marks, so prefix and suffix tests accept only strings that really begin or
// end where they look. Positions are sparse (see CharacterMap): one long
// string costs a few dozen bytes per byte, not a bitmap per possible byte.
//
// Buffered insertion collects (position, key, id) triples in one list owned by
// the index and sorts them into the sets on flush(). No lock of its own: the
// owner guards it with a reader-writer lock, and a writer that buffers must
// flush() before releasing it, since readers see only the sets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "index/core/structures/bitmap.hpp"
#include "index/core/structures/buffered_bitmap.hpp"
#include "index/core/structures/character_map.hpp"
#include "index/core/structures/value_sets.hpp"

namespace tarnwick {

class PositionalBitmap {
public:
    using Element = BufferedBitmap<32>;
    // Buffered triples beyond this are flushed at once, bounding the memory
    // a large batch holds outside the sets.
    static constexpr size_t pending_limit = size_t(1) << 16;

    PositionalBitmap() = default;
    PositionalBitmap(PositionalBitmap&&) = default;
    PositionalBitmap& operator=(PositionalBitmap&&) = default;

    void insert(std::string_view bytes, uint32_t id);
    // Like insert, but through the pending list; empty strings still go
    // straight into the bitmap of empty_strings.
    void insert_buffered(std::string_view bytes, uint32_t id);
    // Also drops a copy of the id that is still pending.
    void remove(std::string_view bytes, uint32_t id);
    void flush();

    // Grows the positions, if needed, so that a string of n bytes can be
    // placed. Existing strings, pending ids included, move with their positions.
    void expand_map(size_t n);

    size_t position_count() const noexcept { return positions_.size(); }
    // Whether a string of n > 0 bytes can be placed without growth.
    bool fits(size_t n) const noexcept { return n / 2 < positions_.size() / 2; }
    // Start position of a string of n > 0 bytes; only meaningful when fits(n).
    size_t start_position(size_t n) const noexcept { return positions_.size() / 2 - n / 2 - 1; }

    const std::vector<CharacterMap>& positions() const noexcept { return positions_; }
    const Element& empty_strings() const noexcept { return empty_strings_; }

    // Keeps only the ids of `keep` in every set; the positions stay.
    void retain(const Bitmap& keep);
    // Unions the other index into this one so that every match answers as if
    // the other's strings had been inserted here.
    void merge_from(const PositionalBitmap& other);

    // Each returns the ids whose string passes the test; ids are as stored.
    // With `within`, equality gives only ids of `within`.
    Bitmap match_eq(std::string_view bytes, const Bitmap* within = nullptr) const;
    // An upper bound of the number of ids match_eq gives (exact while the
    // distinct strings are few), from stored sizes only.
    uint64_t eq_estimate(std::string_view bytes) const;
    // With `within`, the prefix, suffix and substring tests may leave out ids
    // outside it (a conjunction's running set): they cost then about one
    // probe per candidate and start position.
    Bitmap match_prefix(std::string_view bytes, const Bitmap* within = nullptr) const;
    Bitmap match_suffix(std::string_view bytes, const Bitmap* within = nullptr) const;
    Bitmap match_contains(std::string_view bytes, const Bitmap* within = nullptr) const;
    // Every id with a string value, the empty string included.
    Bitmap all_strings() const;
    // Calls fn(bytes, ids) once for every distinct string held by ids of
    // `within`, with those ids: a walk down the positions from each start
    // mark, splitting the ids by the byte they hold, so the cost follows the
    // distinct prefixes rather than the number of ids.
    void for_each_distinct(const Bitmap& within, const std::function<void(std::string_view, Bitmap&)>& fn) const;

    size_t buffered_count() const noexcept { return pending_.size(); }
    // Number of (position, key) sets holding ids.
    size_t set_count() const noexcept;
    // Estimated heap and inline bytes of the whole index.
    size_t memory_bytes() const noexcept;

private:
    struct Pending {
        size_t position;
        uint32_t id;
        uint16_t key;
    };
    using SetList = std::vector<const HybridSet*>;

    // Grows to `target` positions (even), half of the new ones before the
    // existing positions and half after.
    void grow_to(size_t target);
    void push_pending(size_t position, uint16_t key, uint32_t id);
    // Places a string of `bytes` at its positions (start and end marks and
    // one key per byte) through add(position, key); an empty one goes to
    // empty_strings_ directly.
    template <class Add>
    void place(std::string_view bytes, uint32_t id, Add add);
    // Appends the byte sets of `bytes` placed at positions first..; false
    // (and nothing can match) when one of them holds no id.
    bool gather_bytes(size_t first, std::string_view bytes, SetList& sets) const;
    // The strings that hold `bytes` from some position (first <= at < last)
    // on and carry the mark `mark(at)` (none: no mark asked for) at `at`;
    // `offset` is where the bytes start relative to `at`.
    template <class Mark>
    Bitmap scan(std::string_view bytes, size_t first, size_t last, std::ptrdiff_t offset, Mark mark,
                const Bitmap* within) const;

    struct StringHash {
        using is_transparent = void;
        size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>()(s); }
    };

    std::vector<CharacterMap> positions_;
    std::vector<Pending> pending_;
    Element empty_strings_;
    // Whole string -> ids while the distinct strings are few: equality in
    // one fetch instead of a set per byte.
    ValueSets<std::string, StringHash, Element::capacity> whole_;
};

}  // namespace tarnwick

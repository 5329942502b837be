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
// Each position keeps one bitmap per byte value plus separate start and end
// marks, so prefix and suffix tests accept only strings that really begin or
// end where they look.
//
// No lock of its own: the owner guards it with a reader-writer lock. Readers
// consult only the roaring bitmaps; a writer that buffers must flush() before
// releasing its lock.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "index/core/structures/bitmap.hpp"
#include "index/core/structures/buffered_bitmap.hpp"

namespace tarnwick {

class CharacterMap {
public:
    static constexpr uint32_t buffer_capacity = 32;
    using Element = BufferedBitmap<buffer_capacity>;
    static constexpr size_t start_index = 256;
    static constexpr size_t end_index = 257;
    static constexpr size_t size = 258;

    Element& byte(uint8_t b) noexcept { return bitmaps_[b]; }
    const Element& byte(uint8_t b) const noexcept { return bitmaps_[b]; }
    // Ids whose string has its first byte here.
    Element& start_mark() noexcept { return bitmaps_[start_index]; }
    const Element& start_mark() const noexcept { return bitmaps_[start_index]; }
    // Ids whose string has its last byte here.
    Element& end_mark() noexcept { return bitmaps_[end_index]; }
    const Element& end_mark() const noexcept { return bitmaps_[end_index]; }

    // Bytes 0..255, then the start mark, then the end mark.
    std::array<Element, size>& all() noexcept { return bitmaps_; }
    const std::array<Element, size>& all() const noexcept { return bitmaps_; }

    // Marks first, then bytes 0..255.
    void flush();

private:
    std::array<Element, size> bitmaps_;
};

class PositionalBitmap {
public:
    using Element = CharacterMap::Element;

    PositionalBitmap() = default;
    PositionalBitmap(PositionalBitmap&&) = default;
    PositionalBitmap& operator=(PositionalBitmap&&) = default;

    void insert(std::string_view bytes, uint32_t id);
    // Like insert, but through the write buffers; empty strings still go
    // straight into the bitmap of empty_strings.
    void insert_buffered(std::string_view bytes, uint32_t id);
    void remove(std::string_view bytes, uint32_t id);
    void flush();

    // Grows the positions, if needed, so that a string of n bytes can be
    // placed. Existing strings, buffered ids included, move with their positions.
    void expand_map(size_t n);

    size_t position_count() const noexcept { return positions_.size(); }
    // Whether a string of n > 0 bytes can be placed without growth.
    bool fits(size_t n) const noexcept { return n / 2 < positions_.size() / 2; }
    // Start position of a string of n > 0 bytes; only meaningful when fits(n).
    size_t start_position(size_t n) const noexcept { return positions_.size() / 2 - n / 2 - 1; }

    const std::vector<CharacterMap>& positions() const noexcept { return positions_; }
    const Element& empty_strings() const noexcept { return empty_strings_; }

    // Keeps only the ids of `keep` in every bitmap; the positions stay.
    void retain(const Bitmap& keep);
    // Unions the other index into this one so that every match answers as if
    // the other's strings had been inserted here. The other index must have no
    // buffered ids (it is read under its owner's read lock).
    void merge_from(const PositionalBitmap& other);

    // Each returns the ids whose string passes the test; ids are as stored.
    Bitmap match_eq(std::string_view bytes) const;
    Bitmap match_prefix(std::string_view bytes) const;
    Bitmap match_suffix(std::string_view bytes) const;
    Bitmap match_contains(std::string_view bytes) const;
    // Every id with a string value, the empty string included.
    Bitmap all_strings() const;

    size_t buffered_count() const noexcept;

private:
    // Grows to `target` positions (even), half of the new ones before the
    // existing positions and half after.
    void grow_to(size_t target);
    // The ids at positions first.. whose bytes equal `bytes`; no marks involved.
    Bitmap bytes_at(size_t first, std::string_view bytes) const;

    std::vector<CharacterMap> positions_;
    Element empty_strings_;
};

}  // namespace tarnwick

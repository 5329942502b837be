#include "index/core/structures/positional_bitmap.hpp"

#include <algorithm>

namespace tarnwick {

namespace {

uint8_t byte_at(std::string_view s, size_t i) noexcept { return static_cast<uint8_t>(s[i]); }

}  // namespace

void CharacterMap::flush() {
    start_mark().flush();
    end_mark().flush();
    for (size_t b = 0; b < 256; ++b) bitmaps_[b].flush();
}

void PositionalBitmap::expand_map(size_t n) {
    if (n == 0 || fits(n)) return;
    // The smallest even size at which the start of an n-byte string is >= 0
    // without clamping.
    grow_to(2 * (n / 2) + 2);
}

void PositionalBitmap::grow_to(size_t target) {
    const size_t size = positions_.size();
    if (target <= size) return;
    const size_t k = (target - size) / 2;
    positions_.resize(target);
    // The new maps at the back: k of them go to the front, so every existing
    // position (with its buffered ids) moves k to the right.
    std::rotate(positions_.begin(), positions_.end() - static_cast<std::ptrdiff_t>(k), positions_.end());
}

void PositionalBitmap::insert(std::string_view bytes, uint32_t id) {
    const size_t n = bytes.size();
    if (n == 0) {
        empty_strings_.bitmap().add(id);
        return;
    }
    expand_map(n);
    const size_t s = start_position(n);
    positions_[s].start_mark().bitmap().add(id);
    for (size_t i = 0; i < n; ++i) positions_[s + i].byte(byte_at(bytes, i)).bitmap().add(id);
    positions_[s + n - 1].end_mark().bitmap().add(id);
}

void PositionalBitmap::insert_buffered(std::string_view bytes, uint32_t id) {
    const size_t n = bytes.size();
    if (n == 0) {
        empty_strings_.bitmap().add(id);
        return;
    }
    expand_map(n);
    const size_t s = start_position(n);
    positions_[s].start_mark().add_buffered(id);
    for (size_t i = 0; i < n; ++i) positions_[s + i].byte(byte_at(bytes, i)).add_buffered(id);
    positions_[s + n - 1].end_mark().add_buffered(id);
}

void PositionalBitmap::remove(std::string_view bytes, uint32_t id) {
    const size_t n = bytes.size();
    // A buffered copy of the id would survive a removal from the bitmap alone.
    auto drop = [id](Element& el) {
        el.flush();
        el.bitmap().remove(id);
    };
    if (n == 0) {
        drop(empty_strings_);
        return;
    }
    if (!fits(n)) return;  // never placed: insertion would have grown the range
    const size_t s = start_position(n);
    drop(positions_[s].start_mark());
    for (size_t i = 0; i < n; ++i) drop(positions_[s + i].byte(byte_at(bytes, i)));
    drop(positions_[s + n - 1].end_mark());
}

void PositionalBitmap::flush() {
    for (CharacterMap& pos : positions_) pos.flush();
    empty_strings_.flush();
}

void PositionalBitmap::retain(const Bitmap& keep) {
    for (CharacterMap& pos : positions_) {
        for (Element& el : pos.all()) {
            el.flush();
            el.bitmap() &= keep;
        }
    }
    empty_strings_.flush();
    empty_strings_.bitmap() &= keep;
}

void PositionalBitmap::merge_from(const PositionalBitmap& other) {
    if (&other == this) return;
    grow_to(other.position_count());
    // Both ranges are centred, so the other's position p is this one's p + shift.
    const size_t shift = (position_count() - other.position_count()) / 2;
    for (size_t p = 0; p < other.position_count(); ++p) {
        auto& mine = positions_[p + shift].all();
        const auto& theirs = other.positions_[p].all();
        for (size_t i = 0; i < CharacterMap::size; ++i) {
            if (theirs[i].bitmap().empty()) continue;
            mine[i].flush();
            mine[i].bitmap() |= theirs[i].bitmap();
        }
    }
    empty_strings_.flush();
    empty_strings_.bitmap() |= other.empty_strings_.bitmap();
}

Bitmap PositionalBitmap::bytes_at(size_t first, std::string_view bytes) const {
    Bitmap r = positions_[first].byte(byte_at(bytes, 0)).bitmap().clone();
    for (size_t k = 1; k < bytes.size() && !r.empty(); ++k)
        r &= positions_[first + k].byte(byte_at(bytes, k)).bitmap();
    return r;
}

Bitmap PositionalBitmap::all_strings() const {
    Bitmap out = empty_strings_.bitmap().clone();
    // Every start lies in the left half.
    for (size_t p = 0; p < position_count() / 2; ++p) out |= positions_[p].start_mark().bitmap();
    return out;
}

Bitmap PositionalBitmap::match_eq(std::string_view bytes) const {
    const size_t n = bytes.size();
    if (n == 0) return empty_strings_.bitmap().clone();
    if (!fits(n)) return Bitmap();
    // Start and end marks together fix the length: strings of n and n + 1
    // bytes may start at the same position, but never also end at the same one.
    const size_t s = start_position(n);
    Bitmap r = positions_[s].start_mark().bitmap() & positions_[s + n - 1].end_mark().bitmap();
    for (size_t k = 0; k < n && !r.empty(); ++k) r &= positions_[s + k].byte(byte_at(bytes, k)).bitmap();
    return r;
}

Bitmap PositionalBitmap::match_prefix(std::string_view bytes) const {
    const size_t n = bytes.size();
    if (n == 0) return all_strings();
    Bitmap out;
    // A string no shorter than n could only have been placed if n fits, and it
    // starts no later than an n-byte string would.
    if (!fits(n)) return out;
    const size_t last_start = start_position(n);
    for (size_t m = 0; m <= last_start; ++m) {
        const Bitmap& starts = positions_[m].start_mark().bitmap();
        if (starts.empty()) continue;
        Bitmap r = starts & positions_[m].byte(byte_at(bytes, 0)).bitmap();
        for (size_t k = 1; k < n && !r.empty(); ++k) r &= positions_[m + k].byte(byte_at(bytes, k)).bitmap();
        out |= r;
    }
    return out;
}

Bitmap PositionalBitmap::match_suffix(std::string_view bytes) const {
    const size_t n = bytes.size();
    if (n == 0) return all_strings();
    Bitmap out;
    // Mirror of the prefix scan: a string no shorter than n ends no earlier
    // than an n-byte string would.
    if (!fits(n)) return out;
    const size_t first_end = start_position(n) + n - 1;
    for (size_t e = first_end; e < position_count(); ++e) {
        const Bitmap& ends = positions_[e].end_mark().bitmap();
        if (ends.empty()) continue;
        Bitmap r = ends & positions_[e].byte(byte_at(bytes, n - 1)).bitmap();
        for (size_t k = 1; k < n && !r.empty(); ++k) r &= positions_[e - k].byte(byte_at(bytes, n - 1 - k)).bitmap();
        out |= r;
    }
    return out;
}

Bitmap PositionalBitmap::match_contains(std::string_view bytes) const {
    const size_t n = bytes.size();
    if (n == 0) return all_strings();
    Bitmap out;
    if (!fits(n)) return out;  // no stored string is that long
    // Every offset at which an n-byte run fits inside the range.
    for (size_t u = 0; u + n <= position_count(); ++u) out |= bytes_at(u, bytes);
    return out;
}

size_t PositionalBitmap::buffered_count() const noexcept {
    size_t total = empty_strings_.buffered();
    for (const CharacterMap& pos : positions_)
        for (const Element& el : pos.all()) total += el.buffered();
    return total;
}

}  // namespace tarnwick
